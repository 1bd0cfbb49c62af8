# Read by cpack before it packs: every time stamp in the package is
# SOURCE_DATE_EPOCH, and when the builder has not set it, it is the date of
# the newest changelog entry, as Debian's own tools take it.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} "${CPACK_QUILTEN_SORVAK_RELEASE_EPOCH}")
endif()
