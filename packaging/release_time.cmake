# LUMARO_SOURCE_DATE_EPOCH: the time, in seconds since 1970, that every file in
# the packages carries, so that the same tree gives the same bytes. It is
# SOURCE_DATE_EPOCH when the caller sets it (as Debian's build tools do), else
# the time of the last commit, else the modification time of CMakeLists.txt.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(LUMARO_SOURCE_DATE_EPOCH $ENV{SOURCE_DATE_EPOCH})
else()
  execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} log -1 --format=%ct
                  OUTPUT_VARIABLE LUMARO_SOURCE_DATE_EPOCH RESULT_VARIABLE git_result
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(git_result EQUAL 0 AND LUMARO_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
    # A new commit configures the build again, and so brings its own time.
    execute_process(COMMAND git -C ${PROJECT_SOURCE_DIR} rev-parse --path-format=absolute
                            --git-path logs/HEAD
                    OUTPUT_VARIABLE head_log OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
    if(EXISTS "${head_log}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${head_log}")
    endif()
  else()
    file(TIMESTAMP ${PROJECT_SOURCE_DIR}/CMakeLists.txt LUMARO_SOURCE_DATE_EPOCH "%s" UTC)
  endif()
endif()
if(NOT LUMARO_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  message(FATAL_ERROR "SOURCE_DATE_EPOCH must be a number of seconds, not '${LUMARO_SOURCE_DATE_EPOCH}'")
endif()

# The release's date in the forms the manual page and the Debian changelog want;
# string(TIMESTAMP) reads the time from SOURCE_DATE_EPOCH.
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH})
  set(ENV{SOURCE_DATE_EPOCH} ${LUMARO_SOURCE_DATE_EPOCH})
  set(epoch_was_ours ON)
endif()
string(TIMESTAMP LUMARO_RELEASE_DATE "%Y-%m-%d" UTC)
string(TIMESTAMP LUMARO_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
if(epoch_was_ours)
  unset(ENV{SOURCE_DATE_EPOCH})
endif()
