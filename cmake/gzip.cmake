# Compressed copies of documentation, as Debian ships it: gzip -9n, so the
# same text always gives the same bytes (no name or time stamp inside).

find_program(GZIP gzip REQUIRED)

# add_gzipped(<target> <result-variable> <file>...): builds <file>.gz beside
# the build tree for each source-tree <file>, as part of `all`, and puts
# their paths in <result-variable>.
function(add_gzipped target result)
  set(compressed)
  foreach(file IN LISTS ARGN)
    add_custom_command(
      OUTPUT ${file}.gz
      COMMAND "${GZIP}" -9n -c "${CMAKE_CURRENT_SOURCE_DIR}/${file}" > ${file}.gz
      DEPENDS ${file}
      VERBATIM)
    list(APPEND compressed "${CMAKE_CURRENT_BINARY_DIR}/${file}.gz")
  endforeach()
  add_custom_target(${target} ALL DEPENDS ${compressed})
  set(${result} ${compressed} PARENT_SCOPE)
endfunction()
