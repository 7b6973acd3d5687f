# CsvWrite through the vtable: null strings, which a script cannot pass, and a file shared
# by another opener; the writer in-process, with a flush or a close that fails.
tallyfold_add_gtest(NAME unit_csv SOURCES CsvWriteTests.cpp REGISTERED LIBS tallyfold_core)
