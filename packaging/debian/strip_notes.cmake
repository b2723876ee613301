# Run by the install step after the programs are in place: when it strips them,
# the compiler's notes (.comment, .note) go as well, as Debian's own tools do.
if(CMAKE_INSTALL_DO_STRIP)
  foreach(file IN LISTS LUMARO_STRIPPED_FILES)
    execute_process(COMMAND ${LUMARO_STRIP} --remove-section=.comment --remove-section=.note
                            "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${file}"
                    COMMAND_ERROR_IS_FATAL ANY)
  endforeach()
endif()
