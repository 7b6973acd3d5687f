# The service's host names as build settings. Included by the top-level list, so that one
# rule decides what a host name is.

# Host names become C string literals and registry value names: DNS names only (an
# internationalised name in its ASCII form), which also keeps quotes out of the definitions.
set(TALLYFOLD_HOST_PATTERN "^[A-Za-z0-9]([A-Za-z0-9.-]*[A-Za-z0-9])?$")

# Stops the configuration unless value is a bare host name; name is the setting that gave it.
function(tallyfold_check_host name value)
  if(NOT value MATCHES "${TALLYFOLD_HOST_PATTERN}")
    message(FATAL_ERROR "${name} must be a bare host name such as download.example.com, not \"${value}\"")
  endif()
endfunction()
