# The registration-script interpreter, part of the component.
target_sources(tallyfold_core PRIVATE ${CMAKE_CURRENT_LIST_DIR}/Registrar.cpp)

# Its tests build it on their own, so that they need nothing else of the component; they
# read the shipped scripts from this folder.
tallyfold_windows_path(tallyfold_registrar_scripts ${CMAKE_CURRENT_LIST_DIR})
tallyfold_add_gtest(NAME RegistrarTests
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tests/RegistrarTests.cpp ${CMAKE_CURRENT_LIST_DIR}/Registrar.cpp
  LIBS advapi32
  ENV "TALLYFOLD_REGISTRAR_SCRIPTS=${tallyfold_registrar_scripts}")
target_include_directories(RegistrarTests PRIVATE ${CMAKE_CURRENT_LIST_DIR} ${PROJECT_SOURCE_DIR}/tests/unit)
