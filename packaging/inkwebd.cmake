# The gateway's systemd user unit, its settings and its man page.
if(TARGET inkwebd)
  configure_file(${PROJECT_SOURCE_DIR}/packaging/inkwebd/inkwebd.service.in
    ${PROJECT_BINARY_DIR}/packaging/inkwebd.service @ONLY)
  # A user unit: the gateway runs in the desktop session of the user to whom
  # the udev rules give the pads.
  set(INKPORT_SYSTEMD_USER_UNIT_DIR "lib/systemd/user" CACHE STRING
    "Where the systemd user unit is installed, relative to the prefix")
  install(FILES ${PROJECT_BINARY_DIR}/packaging/inkwebd.service
    DESTINATION ${INKPORT_SYSTEMD_USER_UNIT_DIR})
  # As for netbridged: /etc with the prefix /usr, else under the prefix.
  set(INKWEBD_ENV_DIR ${CMAKE_INSTALL_SYSCONFDIR}/default)
  cmake_path(IS_PREFIX CMAKE_INSTALL_PREFIX "${CMAKE_INSTALL_FULL_SYSCONFDIR}" NORMALIZE sysconf_in_prefix)
  if(NOT sysconf_in_prefix)
    set(INKWEBD_ENV_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/inkwebd/inkwebd.default
    DESTINATION ${INKWEBD_ENV_DIR} RENAME inkwebd)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/inkwebd/inkwebd.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
