# Reproducible deliverables: one commit gives the same bytes in any folder, at any time.
#
# TALLYFOLD_SOURCE_DATE_EPOCH is the time that every date in the deliverables carries (the PE
# headers' link time, the installer package's dates): SOURCE_DATE_EPOCH from the environment
# when it is set, else the time of the last commit. A tree without git history and without the
# variable gets 0 and a warning: a date from the clock would make every build differ.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(TALLYFOLD_SOURCE_DATE_EPOCH "$ENV{SOURCE_DATE_EPOCH}")
else()
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE TALLYFOLD_SOURCE_DATE_EPOCH OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE git_result ERROR_QUIET)
  if(NOT git_result EQUAL 0)
    message(WARNING "Neither SOURCE_DATE_EPOCH nor a git history: the deliverables' dates are 1970-01-01")
    set(TALLYFOLD_SOURCE_DATE_EPOCH 0)
  endif()
endif()
if(NOT TALLYFOLD_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be seconds since 1970-01-01 UTC, not \"${TALLYFOLD_SOURCE_DATE_EPOCH}\"")
endif()
# Kept in the cache, where the reproducibility check reads the time that a build used.
set(TALLYFOLD_SOURCE_DATE_EPOCH ${TALLYFOLD_SOURCE_DATE_EPOCH} CACHE INTERNAL "The deliverables' dates, seconds since 1970")

# The same time as a file, rewritten only when it changes, for the rules that must run again then.
set(TALLYFOLD_SOURCE_DATE_FILE ${CMAKE_BINARY_DIR}/generated/source-date-epoch)
file(CONFIGURE OUTPUT ${TALLYFOLD_SOURCE_DATE_FILE} CONTENT "${TALLYFOLD_SOURCE_DATE_EPOCH}\n")

if(MINGW)
  # widl writes the clock's time into the type library that the DLL carries ("Created by WIDL
  # ... at ..." and the time itself); it runs at SOURCE_DATE_EPOCH's time instead, stopped.
  find_program(TALLYFOLD_FAKETIME faketime REQUIRED)
  execute_process(COMMAND date -u -d @${TALLYFOLD_SOURCE_DATE_EPOCH} "+%Y-%m-%d %H:%M:%S"
                  OUTPUT_VARIABLE source_date OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  set(TALLYFOLD_AT_SOURCE_DATE ${CMAKE_COMMAND} -E env TZ=UTC ${TALLYFOLD_FAKETIME} -f ${source_date})
  # The source-file macro names a unit by its path below the project root
  # (component/control/CLCGetXmlQR.cpp), as the diagnostic log's records show it.
  add_compile_options($<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=>)
  # The linker would pick a DLL's preferred base address from a hash of the output's path; the
  # fixed default keeps the folder out of the image (the DLL is relocatable, DYNAMIC_BASE).
  add_link_options(-Wl,--disable-auto-image-base)
endif()

# tallyfold_shipped(TARGET...): the linker writes SOURCE_DATE_EPOCH, not the clock, as the
# images' link time. Being part of their link commands, a new value links them again (only the
# shipped programs: the tests need not be linked again for every commit).
function(tallyfold_shipped)
  if(MINGW)
    set_target_properties(${ARGN} PROPERTIES
      C_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${TALLYFOLD_SOURCE_DATE_EPOCH}"
      CXX_LINKER_LAUNCHER "${CMAKE_COMMAND};-E;env;SOURCE_DATE_EPOCH=${TALLYFOLD_SOURCE_DATE_EPOCH}")
  endif()
endfunction()
