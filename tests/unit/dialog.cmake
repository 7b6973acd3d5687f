# The folder dialog of GetFolderPath, opened for real and driven from a second thread. Needs an
# X display (make test runs the suite under xvfb-run); without one it reports itself skipped.
include(${PROJECT_SOURCE_DIR}/tests/tools/dialog.cmake)

tallyfold_add_gtest(NAME unit_dialog SOURCES FolderDialogTests.cpp
                    LIBS tallyfold_core tallyfold_dialog_driver REGISTERED ENV TALLYFOLD_OUTPUT=1 TIMEOUT 300)
set_tests_properties(unit_dialog PROPERTIES SKIP_RETURN_CODE 77)
