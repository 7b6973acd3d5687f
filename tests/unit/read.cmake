# Reading a folder in-process: references and lock count, 64-bit sizes, allocation failures,
# a listing cut short, and the trimming of folder paths.
tallyfold_add_gtest(NAME unit_read SOURCES ReadXmlDataTests.cpp LIBS tallyfold_core REGISTERED)
