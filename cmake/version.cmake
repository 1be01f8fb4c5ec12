# The version header of the programs: the project's version and the git
# commit of the sources ("unknown" outside a git checkout, as in a source
# archive). The commit is read at every build, and the header is rewritten
# only when its text changes, so that only the programs' main files are
# compiled again after a commit.
if(CMAKE_SCRIPT_MODE_FILE)
  set(git_failed 1)
  # Only the sources' own checkout: an archive unpacked inside another
  # repository must not take that repository's commit.
  if(EXISTS "${QVN_SOURCE_DIR}/.git")
    execute_process(COMMAND git -C "${QVN_SOURCE_DIR}" rev-parse --short=7 HEAD
                    OUTPUT_VARIABLE QVN_COMMIT OUTPUT_STRIP_TRAILING_WHITESPACE
                    RESULT_VARIABLE git_failed ERROR_QUIET)
  endif()
  if(git_failed OR QVN_COMMIT STREQUAL "")
    set(QVN_COMMIT unknown)
  endif()
  configure_file("${QVN_TEMPLATE}" "${QVN_OUTPUT}" @ONLY)
  return()
endif()

set(QVN_VERSION_HEADER "${CMAKE_BINARY_DIR}/generated/quorvane_version.hpp")
add_custom_target(qvn_version_header
  COMMAND ${CMAKE_COMMAND} -DQVN_SOURCE_DIR=${CMAKE_SOURCE_DIR} -DQVN_VERSION=${PROJECT_VERSION}
          -DQVN_TEMPLATE=${CMAKE_CURRENT_LIST_DIR}/version.hpp.in -DQVN_OUTPUT=${QVN_VERSION_HEADER}
          -P ${CMAKE_CURRENT_LIST_FILE}
  BYPRODUCTS ${QVN_VERSION_HEADER}
  VERBATIM)
# Programs link qvn_version for the header (#include "quorvane_version.hpp").
add_library(qvn_version INTERFACE)
target_include_directories(qvn_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
add_dependencies(qvn_version qvn_version_header)
