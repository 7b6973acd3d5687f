# GetFolderPath from a page's script, with tfdialog.exe playing the user. Needs an X display;
# without one the script reports itself skipped.
include(${PROJECT_SOURCE_DIR}/tests/tools/dialog.cmake)

tallyfold_windows_path(dialog_driver_winpath ${TALLYFOLD_DIALOG_DRIVER})
tallyfold_add_jstest(NAME js_dialog_folder SCRIPT dialog_folder.js TIMEOUT 180
                     ENV TALLYFOLD_DIALOG_DRIVER=${dialog_driver_winpath} LABELS lock)
set_tests_properties(js_dialog_folder PROPERTIES SKIP_RETURN_CODE 77)
