# The Windows release archive: the module, the host program, a sample of the
# settings, the installation notes, the licence and the checksums of these five.
set(windows_dir ${CMAKE_CURRENT_LIST_DIR})

# lumaro_version_resource(TARGET FILE_NAME FILE_TYPE DESCRIPTION): the VERSIONINFO
# resource that a file's Properties show, linked into TARGET.
function(lumaro_version_resource target file_name file_type description)
  set(LUMARO_FILE_NAME ${file_name})
  get_filename_component(LUMARO_FILE_STEM ${file_name} NAME_WE)
  set(LUMARO_FILE_TYPE ${file_type})
  set(LUMARO_FILE_DESCRIPTION "${description}")
  set(LUMARO_COMPANY "${LUMARO_VENDOR}")
  set(LUMARO_COPYRIGHT "Copyright (C) 2026 ${LUMARO_VENDOR}")
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${LUMARO_FILE_STEM}_version.rc)
  configure_file(${windows_dir}/version.rc.in ${rc} @ONLY)
  # An object library of its own, so that the target's compiler warnings and
  # options never reach the resource compiler.
  add_library(${target}_version OBJECT ${rc})
  target_link_libraries(${target} PRIVATE ${target}_version)
endfunction()

lumaro_version_resource(lumaro lumaro.dll VFT_DLL "Lumaro message normalisation daemon")
lumaro_version_resource(lumaro-host lumaro-host.exe VFT_APP
                        "Lumaro host: runs the module as the mail server does")

# The released module is the 32-bit one; a 64-bit build is named for what it is.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(windows_flavour win32)
else()
  set(windows_flavour win64)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_FILE_NAME lumaro-${PROJECT_VERSION}-${windows_flavour})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(LUMARO_PACKAGE_FILE ${PROJECT_BINARY_DIR}/${CPACK_PACKAGE_FILE_NAME}.zip)
# Zip tools record each file's time and the order they were given; the archive
# is rewritten with the release's time and its entries sorted by name.
set(CPACK_POST_BUILD_SCRIPTS ${windows_dir}/normalize_zip.cmake)

# Windows' own tools (Notepad) read these with CR LF line ends.
configure_file(${windows_dir}/INSTALL.txt.in INSTALL.txt @ONLY NEWLINE_STYLE CRLF)
configure_file(${windows_dir}/../lumaro.ini.sample lumaro.ini.sample @ONLY NEWLINE_STYLE CRLF)
configure_file(${PROJECT_SOURCE_DIR}/LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)

install(TARGETS lumaro lumaro-host
        RUNTIME DESTINATION . COMPONENT windows
        # The DLL's import library is of no use to the server.
        ARCHIVE DESTINATION lib COMPONENT import_library EXCLUDE_FROM_ALL)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/lumaro.ini.sample ${CMAKE_CURRENT_BINARY_DIR}/INSTALL.txt
              ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
        DESTINATION . COMPONENT windows)
# Last, over the files as they were installed (stripped).
install(CODE "set(LUMARO_SUMMED_FILES
                  $<TARGET_FILE_NAME:lumaro> $<TARGET_FILE_NAME:lumaro-host> lumaro.ini.sample INSTALL.txt
                  LICENSE.txt)"
        COMPONENT windows)
install(SCRIPT ${windows_dir}/sha256sums.cmake COMPONENT windows)
