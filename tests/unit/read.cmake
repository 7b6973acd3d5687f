# Reading a folder in-process: references and lock count, 64-bit sizes, allocation failures,
# a listing cut short, and the trimming of folder paths.
tallyfold_add_gtest(NAME read_inprocess SOURCES ReadXmlDataTests.cpp LIBS tallyfold_core REGISTERED)
target_include_directories(read_inprocess PRIVATE ${CMAKE_CURRENT_LIST_DIR})
