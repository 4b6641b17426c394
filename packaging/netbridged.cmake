# The daemon's systemd unit, its environment file and its man page.
configure_file(${PROJECT_SOURCE_DIR}/packaging/netbridged/netbridged.service.in
  ${PROJECT_BINARY_DIR}/packaging/netbridged.service @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/packaging/netbridged.service
  DESTINATION lib/systemd/system)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/netbridged/netbridged.default
  DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/default RENAME netbridged)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/netbridged/netbridged.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
