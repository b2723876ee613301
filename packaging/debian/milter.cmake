# lumaro-milter's part of the Debian package, when the milter is built: the
# program, its service with the system user it runs as and the folders it needs,
# its configuration and the rotation of its activity log (conffiles), its manual
# page, and the maintainer scripts that make the user and the folders and look
# after the service.
set(LUMARO_CONFIG_DIR /etc/lumaro)

install(TARGETS lumaro-milter RUNTIME DESTINATION ${LUMARO_INSTALL_SBINDIR} COMPONENT milter)
list(APPEND LUMARO_STRIPPED_FILES ${LUMARO_INSTALL_SBINDIR}/$<TARGET_FILE_NAME:lumaro-milter>)
# Where bookworm's systemd and debhelper put units and sysusers.d entries. Units
# stay below /lib: /lib and /usr/lib are one folder there, and dpkg can lose a
# file that moves from one name of it to the other.
install(FILES ${debian_dir}/lumaro-milter.service DESTINATION /lib/systemd/system COMPONENT milter)
install(FILES ${debian_dir}/lumaro.sysusers DESTINATION lib/sysusers.d RENAME lumaro.conf
        COMPONENT milter)
install(FILES ${debian_dir}/lumaro.tmpfiles DESTINATION lib/tmpfiles.d RENAME lumaro.conf
        COMPONENT milter)
install(FILES ${debian_dir}/lumaro.ini DESTINATION ${LUMARO_CONFIG_DIR} COMPONENT milter)
install(FILES ${debian_dir}/lumaro.logrotate DESTINATION /etc/logrotate.d RENAME lumaro COMPONENT milter)
lumaro_manual_page(lumaro-milter 8 milter)

# dpkg keeps an administrator's changes to a conffile across upgrades and removes
# it only on purge.
file(WRITE ${CMAKE_CURRENT_BINARY_DIR}/conffiles "${LUMARO_CONFIG_DIR}/lumaro.ini\n/etc/logrotate.d/lumaro\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_BINARY_DIR}/conffiles
    ${debian_dir}/postinst ${debian_dir}/prerm ${debian_dir}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The postinst makes the user with systemd-sysusers and the folders with
# systemd-tmpfiles, which systemd has, or for a machine without it the stand-alone
# packages.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd | systemd-standalone-sysusers | systemd-sysusers, \
systemd | systemd-standalone-tmpfiles | systemd-tmpfiles")
string(APPEND CPACK_PACKAGE_DESCRIPTION "\n\
.\n\
lumaro-milter runs the module inside Postfix or Sendmail; its service,\n\
lumaro-milter.service, is installed but not enabled.")
