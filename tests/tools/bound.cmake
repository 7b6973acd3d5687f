# tfbound.exe: runs a command for at most a given time, so that a script test can bound a call
# that might hang (device paths, network paths). Built beside tftool.
include_guard(GLOBAL)

add_executable(tfbound ${PROJECT_SOURCE_DIR}/tests/tools/tfbound.cpp)
target_include_directories(tfbound PRIVATE ${PROJECT_SOURCE_DIR}/component/server)
if(MINGW)
  target_link_options(tfbound PRIVATE -municode)
endif()
set_target_properties(tfbound PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/tools)
