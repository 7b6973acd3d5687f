# Task memory failing under every method and accessor, one allocation at a time, through the
# DLL under test; files changed between listing and read; a folder of ten thousand entries.
# OANOCACHE makes every string allocate instead of coming from the platform's cache.
set(fault_entries_dir ${CMAKE_CURRENT_BINARY_DIR}/fault-entries)
tallyfold_windows_path(fault_entries_winpath ${fault_entries_dir})
tallyfold_add_gtest(NAME unit_fault_injection SOURCES FaultInjectionTests.cpp LIBS tallyfold_core REGISTERED
                    ENV OANOCACHE=1 TALLYFOLD_FAULT_ENTRIES=${fault_entries_winpath} TIMEOUT 600)

# The ten thousand entries, made and removed outside Wine.
add_test(NAME fixture_fault_entries_make COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/fault_entries.sh make ${fault_entries_dir})
add_test(NAME fixture_fault_entries_remove COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/fault_entries.sh remove ${fault_entries_dir})
set_tests_properties(fixture_fault_entries_make PROPERTIES FIXTURES_SETUP fault_entries)
set_tests_properties(fixture_fault_entries_remove PROPERTIES FIXTURES_CLEANUP fault_entries)
set_tests_properties(unit_fault_injection PROPERTIES FIXTURES_REQUIRED "registered;fault_entries")
