# For the scripts run with "cmake -P": stops, naming the script, at the first
# of the given variables that is not set or is empty.
function(qx_require_args)
  get_filename_component(script "${CMAKE_SCRIPT_MODE_FILE}" NAME)
  foreach(required IN LISTS ARGN)
    if(NOT DEFINED ${required} OR "${${required}}" STREQUAL "")
      message(FATAL_ERROR "${script}: ${required} is not set")
    endif()
  endforeach()
endfunction()
