# A process ends while another thread is stopped inside the diagnostic log's lock, with the log
# on: it must be gone within the bound (tfbound's exit code 124 says it was not).
include(${PROJECT_SOURCE_DIR}/tests/tools/bound.cmake)
add_executable(tallyfold_exit_child ExitChild.cpp)
target_link_libraries(tallyfold_exit_child PRIVATE tallyfold_core tallyfold_test_support)
add_dependencies(tallyfold_exit_child Tallyfold)
tallyfold_windows_path(exit_child_winpath ${CMAKE_CURRENT_BINARY_DIR}/tallyfold_exit_child.exe)
# The bound covers the child's start as well, which takes up to half a minute under the emulator
# on a busy machine; a process that cannot end never ends, so a generous bound loses nothing.
add_test(NAME check_process_exit COMMAND tfbound 60000 ${exit_child_winpath})
set_tests_properties(check_process_exit PROPERTIES TIMEOUT 120
                     ENVIRONMENT "TALLYFOLD_DLL=${TALLYFOLD_DLL_WINPATH};TALLYFOLD_OUTPUT=1")
