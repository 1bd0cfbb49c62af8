# The newest entry of packaging/changelog is the release being built. It must
# name project()'s version, and its date is the release date: the manual
# pages show it and the package's time stamps take it.
#
# Sets RELEASE_EPOCH (seconds since 1970) and RELEASE_DATE (YYYY-MM-DD, UTC).

set(changelog "${PROJECT_SOURCE_DIR}/packaging/changelog")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${changelog}")
file(STRINGS "${changelog}" changelog_lines)

list(GET changelog_lines 0 newest)
if(NOT newest MATCHES "^${PROJECT_NAME} \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/changelog does not start with version ${PROJECT_VERSION}")
endif()

# The entry ends with its trailer: " -- Name <address>  Day, DD Mon YYYY hh:mm:ss +zzzz".
foreach(line IN LISTS changelog_lines)
  if(line MATCHES "^ -- .*>  (.+)$")
    set(release_stamp "${CMAKE_MATCH_1}")
    break()
  endif()
endforeach()
if(NOT DEFINED release_stamp)
  message(FATAL_ERROR "packaging/changelog: the newest entry has no ' -- ' trailer line")
endif()

execute_process(
  COMMAND "${CMAKE_COMMAND}" -E env LC_ALL=C date -u -d "${release_stamp}" "+%s;%F"
  OUTPUT_VARIABLE release OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
list(GET release 0 RELEASE_EPOCH)
list(GET release 1 RELEASE_DATE)
