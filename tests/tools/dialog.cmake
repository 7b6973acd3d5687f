# What plays the user at the folder dialog: a library for in-process tests (a second thread)
# and tfdialog.exe for the script tests (a second process).
include_guard(GLOBAL)

set(dialog_tools_dir ${PROJECT_SOURCE_DIR}/tests/tools)
add_library(tallyfold_dialog_driver STATIC ${dialog_tools_dir}/FolderDialogDriver.cpp)
target_include_directories(tallyfold_dialog_driver PUBLIC ${dialog_tools_dir} ${PROJECT_SOURCE_DIR}/component/server)
target_link_libraries(tallyfold_dialog_driver PUBLIC user32 shell32 ole32)

add_executable(tfdialog ${dialog_tools_dir}/tfdialog.cpp)
target_link_libraries(tfdialog PRIVATE tallyfold_dialog_driver)
if(MINGW)
  target_link_options(tfdialog PRIVATE -municode)
endif()
# Beside tftool, wherever this file is included from.
set_target_properties(tfdialog PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/tools)
set(TALLYFOLD_DIALOG_DRIVER ${CMAKE_BINARY_DIR}/tests/tools/tfdialog.exe CACHE INTERNAL "tfdialog.exe")
