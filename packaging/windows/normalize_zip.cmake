# Run by cpack after it made the zip: sets every entry's time to the release's
# (CPACK_LUMARO_SOURCE_DATE_EPOCH) and sorts the entries by name, so that the same
# tree always gives the same bytes.
find_program(strip_nondeterminism strip-nondeterminism)
if(NOT strip_nondeterminism)
  message(FATAL_ERROR "strip-nondeterminism is missing (scripts/setup.sh installs it)")
endif()
foreach(archive IN LISTS CPACK_PACKAGE_FILES)
  execute_process(COMMAND ${strip_nondeterminism} --type zip
                          --timestamp ${CPACK_LUMARO_SOURCE_DATE_EPOCH} ${archive}
                  RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "strip-nondeterminism failed on ${archive}")
  endif()
endforeach()
