# Builds the same tree a second time, in a fresh folder inside BUILD with the same
# compilers and settings, makes its package and compares it byte for byte with
# PACKAGE, the one BUILD made. Run with -P; SETTINGS holds the -D options of
# BUILD, separated by "|".
string(REPLACE "|" ";" SETTINGS "${SETTINGS}")
set(again ${BUILD}/reproducible)
file(REMOVE_RECURSE ${again})
execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE} -B ${again} -G ${GENERATOR}
                        -DLUMARO_TESTS=OFF ${SETTINGS}
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_COMMAND} -DBUILD=${again} -P ${CMAKE_CURRENT_LIST_DIR}/make_package.cmake
                OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(name ${PACKAGE} NAME)
file(SHA256 ${PACKAGE} first)
file(SHA256 ${again}/${name} second)
if(NOT first STREQUAL second)
  message(FATAL_ERROR "two builds of the same tree gave different packages:\n"
                      "  ${PACKAGE} ${first}\n  ${again}/${name} ${second}")
endif()
message(STATUS "both builds gave ${name}, SHA-256 ${first}")
file(REMOVE_RECURSE ${again})
