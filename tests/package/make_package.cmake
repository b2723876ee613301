# Makes the build's package without building its tests: the files the package
# is made of, then cpack. Run with -P, BUILD naming the build folder.
execute_process(COMMAND ${CMAKE_COMMAND} --build ${BUILD} --target package_files
                COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} --config ${BUILD}/CPackConfig.cmake
                WORKING_DIRECTORY ${BUILD} COMMAND_ERROR_IS_FATAL ANY)
