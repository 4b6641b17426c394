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
  inkport_install_settings_and_man(inkwebd)
endif()
