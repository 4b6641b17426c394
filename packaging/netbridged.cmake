# The daemon's systemd unit, its environment file and its man page.
configure_file(${PROJECT_SOURCE_DIR}/packaging/netbridged/netbridged.service.in
  ${PROJECT_BINARY_DIR}/packaging/netbridged.service @ONLY)
set(INKPORT_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "Where the systemd unit is installed, relative to the prefix")
install(FILES ${PROJECT_BINARY_DIR}/packaging/netbridged.service
  DESTINATION ${INKPORT_SYSTEMD_UNIT_DIR})
inkport_install_settings_and_man(netbridged)
