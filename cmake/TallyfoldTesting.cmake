# Test helpers. Every test runs under Wine in the prefix that tools/with-wine.sh prepares;
# ctest is always started through that script (make test does it).
enable_testing()

set(TALLYFOLD_TOOLS ${PROJECT_SOURCE_DIR}/tools)
set(CMAKE_CROSSCOMPILING_EMULATOR ${TALLYFOLD_TOOLS}/wine-exec.sh)

# The harness's time limits are set in tools/limits.sh: a test's default limit, and what a test
# that boots a Wine prefix of its own gets on top for the boot's tries.
execute_process(COMMAND bash -c ". \"$1\" && echo \"$TF_TEST_LIMIT;$TF_OWN_PREFIX_ALLOWANCE\"" _ ${TALLYFOLD_TOOLS}/limits.sh
                OUTPUT_VARIABLE limits OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE limits_rc)
if(NOT limits_rc EQUAL 0 OR NOT limits MATCHES "^[0-9]+;[0-9]+$")
  message(FATAL_ERROR "tools/limits.sh gave no limits: ${limits}")
endif()
list(GET limits 0 TALLYFOLD_TEST_LIMIT)
list(GET limits 1 TALLYFOLD_OWN_PREFIX_ALLOWANCE)
set_property(DIRECTORY ${PROJECT_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${TALLYFOLD_TOOLS}/limits.sh)

# tallyfold_own_prefix_limit(OUT SECONDS): the limit of a test that runs for SECONDS in a Wine
# prefix that it may have to boot first.
function(tallyfold_own_prefix_limit out seconds)
  math(EXPR limit "${seconds} + ${TALLYFOLD_OWN_PREFIX_ALLOWANCE}")
  set(${out} ${limit} PARENT_SCOPE)
endfunction()

# A Windows path for a file of this machine, as Wine's Z: drive shows it.
function(tallyfold_windows_path out unix_path)
  string(REPLACE "/" "\\" p "${unix_path}")
  set(${out} "Z:${p}" PARENT_SCOPE)
endfunction()

tallyfold_windows_path(TALLYFOLD_DLL_WINPATH ${TALLYFOLD_DIST_DIR}/Tallyfold.dll)
set(TALLYFOLD_TFTOOL ${CMAKE_BINARY_DIR}/tests/tools/tftool.exe)
tallyfold_windows_path(TALLYFOLD_TFTOOL_WINPATH ${TALLYFOLD_TFTOOL})

if(NOT TARGET gtest_main)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

# The helpers that the in-process test programs share: tests/support for every program,
# tests/unit for those of the DLL.
add_library(tallyfold_test_support INTERFACE)
target_include_directories(tallyfold_test_support INTERFACE
  ${PROJECT_SOURCE_DIR}/tests/support ${PROJECT_SOURCE_DIR}/tests/unit ${PROJECT_SOURCE_DIR}/component/server)
target_link_libraries(tallyfold_test_support INTERFACE gtest)

# tallyfold_add_gtest(NAME n SOURCES ... [LIBS ...] [REGISTERED] [ENV k=v ...] [TIMEOUT s] [LABELS l ...])
# REGISTERED: the test needs Tallyfold.dll registered in the prefix. LABELS "lock": the test
# also runs against the origin-locked build.
function(tallyfold_add_gtest)
  cmake_parse_arguments(T "REGISTERED" "NAME;TIMEOUT" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE tallyfold_test_support gtest gtest_main ${T_LIBS})
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  set(env "TALLYFOLD_DLL=${TALLYFOLD_DLL_WINPATH}" ${T_ENV})
  set(timeout ${TALLYFOLD_TEST_LIMIT})
  if(T_TIMEOUT)
    set(timeout ${T_TIMEOUT})
  endif()
  set_tests_properties(${T_NAME} PROPERTIES ENVIRONMENT "${env}" TIMEOUT ${timeout} LABELS "${T_LABELS}")
  if(T_REGISTERED)
    set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED registered)
    add_dependencies(${T_NAME} Tallyfold)
  endif()
endfunction()

# tallyfold_add_jstest(NAME n SCRIPT file.js [ARGS ...] [ENV k=v ...] [AS_USER] [FULL_DISK_KB n] [LABELS l ...])
# Runs a JScript file through cscript against the registered DLL. A file.setup.sh beside the
# script prepares a fixture folder first (its Windows path is in TF_FIXTURE). AS_USER runs it
# as an unprivileged user with a prefix of its own (booted by the first such test of a run),
# where Wine enforces file permissions.
# FULL_DISK_KB mounts a filesystem of that size for the script to fill (TF_FULL_DISK).
function(tallyfold_add_jstest)
  cmake_parse_arguments(T "AS_USER" "NAME;SCRIPT;TIMEOUT;FULL_DISK_KB" "ARGS;ENV;LABELS" ${ARGN})
  set(runner ${TALLYFOLD_TOOLS}/run-js.sh)
  if(T_AS_USER)
    set(runner ${TALLYFOLD_TOOLS}/as-user.sh)
  endif()
  if(T_FULL_DISK_KB)
    list(APPEND T_ENV TALLYFOLD_FULL_DISK_KB=${T_FULL_DISK_KB})
  endif()
  add_test(NAME ${T_NAME} COMMAND ${runner} ${CMAKE_CURRENT_SOURCE_DIR}/${T_SCRIPT} ${T_ARGS})
  set(timeout ${TALLYFOLD_TEST_LIMIT})
  if(T_TIMEOUT)
    set(timeout ${T_TIMEOUT})
  endif()
  if(T_AS_USER)
    tallyfold_own_prefix_limit(timeout ${timeout})
  endif()
  set_tests_properties(${T_NAME} PROPERTIES FIXTURES_REQUIRED registered TIMEOUT ${timeout} LABELS "${T_LABELS}"
                       ENVIRONMENT "TALLYFOLD_DLL=${TALLYFOLD_DLL_WINPATH};TALLYFOLD_TFTOOL=${TALLYFOLD_TFTOOL_WINPATH};TALLYFOLD_DLL_UNIX=${TALLYFOLD_DIST_DIR}/Tallyfold.dll;TALLYFOLD_TFTOOL_UNIX=${TALLYFOLD_TFTOOL};${T_ENV}")
endfunction()
