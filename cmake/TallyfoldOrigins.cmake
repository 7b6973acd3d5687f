# The service's host names as build settings: Siteward's two hosts, and the origins that an
# origin-locked Tallyfold serves. Included by the top-level list and by the configure checks'
# own test, so that one rule decides what a host name is.

# Host names become C string literals, registry value names and origins: DNS names only (an
# internationalised name in its ASCII form), which also keeps quotes out of the definitions.
set(TALLYFOLD_HOST_PATTERN "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")

# Stops the configuration unless value is a bare host name; name is the setting that gave it.
function(tallyfold_check_host name value)
  if(NOT value MATCHES "${TALLYFOLD_HOST_PATTERN}")
    message(FATAL_ERROR "${name} must be a bare host name such as download.example.com, not \"${value}\"")
  endif()
endfunction()

# The hosts that an origin-locked build serves, each meant as https://host on the default port,
# in lower case and each once: Siteward's two hosts when lock_to_siteward is true, then the
# bare https origins of the list origins. Empty: no lock.
function(tallyfold_allowed_hosts out lock_to_siteward origins)
  set(hosts)
  if(lock_to_siteward)
    foreach(host_var SITEWARD_DOWNLOAD_HOST SITEWARD_SECOND_HOST)
      tallyfold_check_host(${host_var} "${${host_var}}")
      list(APPEND hosts "${${host_var}}")
    endforeach()
  endif()
  foreach(origin IN LISTS origins)
    string(REGEX REPLACE "^https://" "" host "${origin}")
    if(NOT origin MATCHES "^https://" OR NOT host MATCHES "${TALLYFOLD_HOST_PATTERN}")
      message(FATAL_ERROR "TALLYFOLD_ALLOWED_ORIGINS takes bare https origins such as https://www.example.com "
                          "(no path, slash or port), not \"${origin}\"")
    endif()
    list(APPEND hosts "${host}")
  endforeach()
  string(TOLOWER "${hosts}" hosts)
  list(REMOVE_DUPLICATES hosts)
  set(${out} "${hosts}" PARENT_SCOPE)
endfunction()
