# The Debian package: lumaro-host, the module in a folder of its own, the manual
# page and the documents Debian asks for, and lumaro-milter with its service where
# it is built. A program joins it with an install() rule, an entry in
# LUMARO_STRIPPED_FILES and lumaro_manual_page().
set(debian_dir ${CMAKE_CURRENT_LIST_DIR})
set(doc_dir ${CMAKE_CURRENT_BINARY_DIR}/doc)
file(MAKE_DIRECTORY ${doc_dir})
set(LUMARO_INSTALLED_MODULE_FILE
    /usr/${LUMARO_INSTALL_MODULEDIR}/lumaro${CMAKE_SHARED_LIBRARY_SUFFIX})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# Installed below the package's root with DESTDIR, so that absolute destinations
# (/etc, /lib) land there too, not on the machine that builds.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX ${CPACK_PACKAGING_INSTALL_PREFIX})
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
set(CPACK_DEBIAN_FILE_NAME
    lumaro_${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}_${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}.deb)
set(LUMARO_PACKAGE_FILE ${PROJECT_BINARY_DIR}/${CPACK_DEBIAN_FILE_NAME})
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_PACKAGE_DESCRIPTION
    "Lumaro is a module for a mail server that makes mail readable for old mail\n\
clients. It converts text parts in UTF-8 and UTF-7 into one 8-bit charset\n\
(ISO-8859-2 unless configured otherwise), decodes RFC 2047 encoded words of a\n\
UTF charset in the main header lines, and tags every message it changes.\n\
.\n\
This package holds the module and lumaro-host, which runs it over queue\n\
folders and single messages the way the mail server does.")

# Debian keeps documents compressed, with no name or time in the gzip header.
add_custom_target(debian_documents)
add_dependencies(package_files debian_documents)
function(lumaro_gzip source target)
  add_custom_command(OUTPUT ${target} COMMAND gzip -9nc ${source} > ${target}
                     DEPENDS ${source} VERBATIM)
  string(MAKE_C_IDENTIFIER ${target} name)
  add_custom_target(${name} DEPENDS ${target})
  add_dependencies(debian_documents ${name})
endfunction()

# lumaro_manual_page(NAME SECTION COMPONENT): debian/NAME.SECTION.in with the
# version and the date filled in, compressed, into the manual's SECTION.
function(lumaro_manual_page name section component)
  configure_file(${debian_dir}/${name}.${section}.in ${doc_dir}/${name}.${section} @ONLY)
  lumaro_gzip(${doc_dir}/${name}.${section} ${doc_dir}/${name}.${section}.gz)
  install(FILES ${doc_dir}/${name}.${section}.gz DESTINATION share/man/man${section}
          COMPONENT ${component})
endfunction()

install(TARGETS lumaro-host RUNTIME DESTINATION ${LUMARO_INSTALL_BINDIR} COMPONENT host)
# The module is loaded by its path and never linked with: it is not executable.
install(TARGETS lumaro LIBRARY DESTINATION ${LUMARO_INSTALL_MODULEDIR} COMPONENT module
        PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(LUMARO_STRIPPED_FILES ${LUMARO_INSTALL_BINDIR}/$<TARGET_FILE_NAME:lumaro-host>
                          ${LUMARO_INSTALL_MODULEDIR}/$<TARGET_FILE_NAME:lumaro>)
if(TARGET lumaro-milter)
  include(${debian_dir}/milter.cmake)
endif()
install(CODE "set(LUMARO_STRIP ${CMAKE_STRIP})
              set(LUMARO_STRIPPED_FILES ${LUMARO_STRIPPED_FILES})" COMPONENT module)
install(SCRIPT ${debian_dir}/strip_notes.cmake COMPONENT module)

lumaro_manual_page(lumaro-host 1 host)

configure_file(${debian_dir}/changelog.in ${doc_dir}/changelog.Debian @ONLY)
lumaro_gzip(${doc_dir}/changelog.Debian ${doc_dir}/changelog.Debian.gz)
lumaro_gzip(${PROJECT_SOURCE_DIR}/README.md ${doc_dir}/README.md.gz)
configure_file(${debian_dir}/../lumaro.ini.sample ${doc_dir}/lumaro.ini COPYONLY)
install(FILES ${debian_dir}/copyright ${doc_dir}/changelog.Debian.gz ${doc_dir}/README.md.gz
        DESTINATION share/doc/lumaro COMPONENT module)
install(FILES ${doc_dir}/lumaro.ini DESTINATION share/doc/lumaro/examples COMPONENT module)
