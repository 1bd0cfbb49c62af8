# Compressed copies of documentation, as Debian ships it: gzip -9n, so the
# same text always gives the same bytes (no name or time stamp inside).

find_program(GZIP gzip REQUIRED)

# add_gzipped(<target> <result-variable> <file>...): builds <name>.gz in the
# current build directory for each <file> (relative to the current source
# directory, or absolute), as part of `all`, and puts their paths in
# <result-variable>.
function(add_gzipped target result)
  set(compressed)
  foreach(file IN LISTS ARGN)
    cmake_path(ABSOLUTE_PATH file BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}")
    cmake_path(GET file FILENAME name)
    set(output "${CMAKE_CURRENT_BINARY_DIR}/${name}.gz")
    add_custom_command(
      OUTPUT "${output}"
      COMMAND "${GZIP}" -9n -c "${file}" > "${output}"
      DEPENDS "${file}"
      VERBATIM)
    list(APPEND compressed "${output}")
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${compressed})
  set(${result} ${compressed} PARENT_SCOPE)
endfunction()
