# A process ends with the DLL in use: while another thread is stopped inside the diagnostic log's
# lock, it must be gone within the bound (tfbound's exit code 124 says it was not); once the DLL
# holds what it releases when unloaded, nothing may be freed at the end (exit code 3 says it was).
include(${PROJECT_SOURCE_DIR}/tests/tools/bound.cmake)
add_executable(tallyfold_exit_child ExitChild.cpp)
target_link_libraries(tallyfold_exit_child PRIVATE tallyfold_core tallyfold_test_support)
if(MINGW)
  target_link_options(tallyfold_exit_child PRIVATE -municode)
endif()
add_dependencies(tallyfold_exit_child Tallyfold)
tallyfold_windows_path(exit_child_winpath ${CMAKE_CURRENT_BINARY_DIR}/tallyfold_exit_child.exe)
# The bound covers the child's start as well, which takes up to half a minute under the emulator
# on a busy machine; a process that cannot end never ends, so a generous bound loses nothing.
add_test(NAME check_process_exit COMMAND tfbound 60000 ${exit_child_winpath} log)
add_test(NAME check_process_exit_memory COMMAND tfbound 60000 ${exit_child_winpath} memory)
set_tests_properties(check_process_exit check_process_exit_memory PROPERTIES TIMEOUT 120
                     ENVIRONMENT "TALLYFOLD_DLL=${TALLYFOLD_DLL_WINPATH};TALLYFOLD_OUTPUT=1")
# OANOCACHE: every freed string goes back to task memory at once, through the spy.
set_tests_properties(check_process_exit_memory PROPERTIES FIXTURES_REQUIRED registered
                     ENVIRONMENT "TALLYFOLD_DLL=${TALLYFOLD_DLL_WINPATH};TALLYFOLD_OUTPUT=1;OANOCACHE=1")
