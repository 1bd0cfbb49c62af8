# Run by `cmake --install` before anything is installed: makes the missing
# directories on the way to each of QUILTEN_SORVAK_INSTALL_DIRS with mode
# 0755, where CMake would apply the installer's umask (under 077, nobody
# else could run the programs). Directories that exist stay as they are.
foreach(dir IN LISTS QUILTEN_SORVAK_INSTALL_DIRS)
  cmake_path(ABSOLUTE_PATH dir BASE_DIRECTORY "${CMAKE_INSTALL_PREFIX}")
  set(dir "$ENV{DESTDIR}${dir}")
  set(missing)
  while(NOT EXISTS "${dir}")
    list(PREPEND missing "${dir}")
    cmake_path(GET dir PARENT_PATH parent)
    if(parent STREQUAL dir)
      break()
    endif()
    set(dir "${parent}")
  endwhile()
  foreach(new IN LISTS missing)
    file(MAKE_DIRECTORY "${new}")
    file(CHMOD "${new}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                               GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endforeach()
endforeach()
