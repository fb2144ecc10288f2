# The manual pages and the package changelog carry the version as literal
# text, readable in the tree; this stops the configure when one of them was
# not brought up to the project's version.

# Fails unless the first line of `file` that matches `line_regex` contains
# `expected` word for word.
function(ssm_require_version file line_regex expected)
  file(STRINGS "${file}" lines REGEX "${line_regex}" LIMIT_COUNT 1)
  string(FIND "${lines}" "${expected}" at)
  if(lines STREQUAL "" OR at EQUAL -1)
    message(FATAL_ERROR "${file}: expected '${expected}' (project version ${PROJECT_VERSION}) "
                        "in the line '${lines}'")
  endif()
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
endfunction()
