# The COM frame: exports, class objects, lock accounting, aggregation, interfaces, accessors.
tallyfold_add_gtest(NAME unit_frame_com SOURCES ComFrameTests.cpp LIBS tallyfold_core REGISTERED LABELS lock)

tallyfold_windows_path(deliverable_dll ${TALLYFOLD_DELIVERABLE_DIR}/Tallyfold.dll)
tallyfold_add_gtest(NAME unit_frame_typelib SOURCES TypeLibTests.cpp LIBS tallyfold_core version
                    ENV "TALLYFOLD_DELIVERABLE_DLL=${deliverable_dll}")
add_dependencies(unit_frame_typelib Tallyfold)

tallyfold_add_gtest(NAME unit_frame_registration SOURCES RegistrationTests.cpp LIBS tallyfold_core advapi32 REGISTERED)
