# cmake -P configure-origins.cmake
# The configure-time rules for the hosts an origin-locked build serves. Every row configures
# the rules in a process of its own (a refused value ends the configuration) and compares the
# hosts that would reach the code, or the setting that the refusal names.
cmake_minimum_required(VERSION 3.22)
include(${CMAKE_CURRENT_LIST_DIR}/../cmake/TallyfoldOrigins.cmake)

if(DEFINED ROW_ORIGINS)
  set(SITEWARD_DOWNLOAD_HOST "${ROW_DOWNLOAD_HOST}")
  set(SITEWARD_SECOND_HOST "www.example.com")
  tallyfold_allowed_hosts(hosts "${ROW_LOCK_TO_SITEWARD}" "${ROW_ORIGINS}")
  string(REPLACE ";" "," hosts "${hosts}")
  message("hosts=${hosts}.")
  return()
endif()

# The rows write a list's ";" as ",", which keeps them apart in the table.
# lock to Siteward's hosts | download host | allowed origins | =hosts, or !the refused setting
set(rows
  "OFF|download.example.com||="
  "ON|download.example.com||=download.example.com,www.example.com"
  "OFF|download.example.com|https://Portal.Example.org|=portal.example.org"
  "ON|download.example.com|https://WWW.example.com,https://extra.example.net|=download.example.com,www.example.com,extra.example.net"
  "OFF|download.example.com|https://a.example.com,https://a.example.com|=a.example.com"
  "ON|bad host||!SITEWARD_DOWNLOAD_HOST"
  "OFF|bad host||="
  "OFF|download.example.com|http://a.example.com|!TALLYFOLD_ALLOWED_ORIGINS"
  "OFF|download.example.com|HTTPS://a.example.com|!TALLYFOLD_ALLOWED_ORIGINS"
  "OFF|download.example.com|https://a.example.com/|!TALLYFOLD_ALLOWED_ORIGINS"
  "OFF|download.example.com|https://a.example.com:443|!TALLYFOLD_ALLOWED_ORIGINS"
  "OFF|download.example.com|https://user@a.example.com|!TALLYFOLD_ALLOWED_ORIGINS"
  "OFF|download.example.com|https://|!TALLYFOLD_ALLOWED_ORIGINS"
  "OFF|download.example.com|a.example.com|!TALLYFOLD_ALLOWED_ORIGINS"
  "OFF|download.example.com|https://-a.example.com|!TALLYFOLD_ALLOWED_ORIGINS"
  "OFF|download.example.com|https://a.example.com\",\"b|!TALLYFOLD_ALLOWED_ORIGINS"
  "OFF|download.example.com|https://a.example.com,|!TALLYFOLD_ALLOWED_ORIGINS"
  "OFF|download.example.com| https://a.example.com|!TALLYFOLD_ALLOWED_ORIGINS"
)
set(failures 0)
foreach(row IN LISTS rows)
  string(REPLACE "|" ";" fields "${row}")
  list(GET fields 0 lock)
  list(GET fields 1 download)
  list(GET fields 2 origins)
  list(GET fields 3 expected)
  string(REPLACE "," ";" origins "${origins}")
  execute_process(COMMAND ${CMAKE_COMMAND} "-DROW_LOCK_TO_SITEWARD=${lock}" "-DROW_DOWNLOAD_HOST=${download}"
                          "-DROW_ORIGINS=${origins}" -P ${CMAKE_CURRENT_LIST_FILE}
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
  string(SUBSTRING "${expected}" 1 -1 value)
  string(REPLACE "." "\\." value "${value}")
  set(ok FALSE)
  if(expected MATCHES "^=" AND rc EQUAL 0 AND out MATCHES "hosts=${value}\\.\n")
    set(ok TRUE)
  elseif(expected MATCHES "^!" AND NOT rc EQUAL 0 AND out MATCHES "${value} ")
    set(ok TRUE)
  endif()
  if(NOT ok)
    message("FAIL: ${row}: exit ${rc}: ${out}")
    math(EXPR failures "${failures} + 1")
  endif()
endforeach()
list(LENGTH rows count)
if(failures GREATER 0)
  message(FATAL_ERROR "${failures} of ${count} rows failed")
endif()
message("${count} rows passed")
