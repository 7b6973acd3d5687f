# The COM frame: exports, class objects, lock accounting, aggregation, interfaces, accessors.
tallyfold_add_gtest(NAME unit_frame_com SOURCES ComFrameTests.cpp LIBS tallyfold_core REGISTERED LABELS lock)
target_include_directories(unit_frame_com PRIVATE ${CMAKE_CURRENT_LIST_DIR})

tallyfold_windows_path(deliverable_dll ${TALLYFOLD_DELIVERABLE_DIR}/Tallyfold.dll)
tallyfold_add_gtest(NAME unit_frame_typelib SOURCES TypeLibTests.cpp LIBS tallyfold_core version
                    ENV "TALLYFOLD_DELIVERABLE_DLL=${deliverable_dll}")
target_include_directories(unit_frame_typelib PRIVATE ${CMAKE_CURRENT_LIST_DIR})
add_dependencies(unit_frame_typelib Tallyfold)

tallyfold_add_gtest(NAME unit_frame_registration SOURCES RegistrationTests.cpp LIBS tallyfold_core advapi32 REGISTERED)
target_include_directories(unit_frame_registration PRIVATE ${CMAKE_CURRENT_LIST_DIR})
