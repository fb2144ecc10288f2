# Gives a Windows program a version resource: product name, version (from
# project()) and a description, as its Properties dialog shows them.
# Elsewhere it does nothing.
function(ssm_version_resource target description)
  if(NOT WIN32)
    return()
  endif()
  set(ssm_program ${target})
  set(ssm_description "${description}")
  set(resource ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in ${resource} @ONLY)
  target_sources(${target} PRIVATE ${resource})
endfunction()
