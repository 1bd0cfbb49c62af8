# The newest entry of debian/changelog is the release being built; its date
# is the release date that the manual pages show. Taken from the text alone,
# so the same tree always gives the same pages.
#
# Sets RELEASE_DATE (YYYY-MM-DD, the date the entry's trailer gives).

set(changelog "${PROJECT_SOURCE_DIR}/debian/changelog")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${changelog}")
file(STRINGS "${changelog}" changelog_lines)

# The entry ends with its trailer: " -- Name <address>  Day, D Mon YYYY hh:mm:ss +zzzz".
foreach(line IN LISTS changelog_lines)
  if(line MATCHES "^ -- .*>  [A-Z][a-z][a-z], +([0-9]?[0-9]) ([A-Z][a-z][a-z]) ([0-9][0-9][0-9][0-9]) ")
    set(day "${CMAKE_MATCH_1}")
    set(month_name "${CMAKE_MATCH_2}")
    set(year "${CMAKE_MATCH_3}")
    break()
  endif()
endforeach()
set(month_names Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND month_names "${month_name}" month)
if(NOT DEFINED year OR month EQUAL -1)
  message(FATAL_ERROR "debian/changelog: the newest entry has no dated ' -- ' trailer line")
endif()

math(EXPR month "${month} + 1")
foreach(part IN ITEMS day month)
  string(LENGTH "${${part}}" length)
  if(length EQUAL 1)
    set(${part} "0${${part}}")
  endif()
endforeach()
set(RELEASE_DATE "${year}-${month}-${day}")
