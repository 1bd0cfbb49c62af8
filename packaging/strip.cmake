# Run by CPack on the staged package tree: strips the programs the way
# Debian's dh_strip does, dropping the compiler's .comment notes as well as
# the symbols.
file(GLOB programs "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/bin/*")
foreach(program IN LISTS programs)
  execute_process(
    COMMAND "${CPACK_QUILTEN_SORVAK_STRIP}" --remove-section=.comment --remove-section=.note
            "${program}"
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
