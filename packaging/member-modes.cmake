# Run by CPack on each package it made: sets the mode of every member of the
# .deb's ar archive to 0644, as dpkg-deb writes them. CPack takes the modes
# from the builder's umask, so two builders would otherwise make different
# bytes from the same source.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  file(SIZE "${package}" package_size)
  set(header 8) # past the "!<arch>\n" magic
  while(header LESS package_size)
    # A member header is 60 bytes of text: name 16, time 12, owner 6, group
    # 6, mode 8, size 10, "`\n"; the member follows, padded to even length.
    math(EXPR mode_at "${header} + 40")
    math(EXPR size_at "${header} + 48")
    file(READ "${package}" member_size OFFSET ${size_at} LIMIT 10)
    string(STRIP "${member_size}" member_size)
    execute_process(
      COMMAND printf "100644  "
      COMMAND dd "of=${package}" bs=1 seek=${mode_at} conv=notrunc status=none
      COMMAND_ERROR_IS_FATAL ANY)
    math(EXPR header "${header} + 60 + ${member_size} + ${member_size} % 2")
  endwhile()
endforeach()
