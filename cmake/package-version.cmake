# The version of the version server and of download-folder: the one in the newest entry of
# debian/changelog, so that the package, `--version` and the man pages never disagree.
# A new version is one new changelog entry (dch -v X.Y.Z).
get_filename_component(_dorera_changelog ${CMAKE_CURRENT_LIST_DIR}/../debian/changelog ABSOLUTE)
file(STRINGS ${_dorera_changelog} _dorera_first_line LIMIT_COUNT 1)
if(NOT _dorera_first_line MATCHES "^dorera-version-server \\(([^)]+)\\)")
  message(FATAL_ERROR "${_dorera_changelog}: the first line names no version: ${_dorera_first_line}")
endif()
set(DORERA_VERSION ${CMAKE_MATCH_1})
# A change of version configures the tree anew.
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_dorera_changelog})
