# The daemon's systemd unit, its environment file and its man page.
configure_file(${PROJECT_SOURCE_DIR}/packaging/netbridged/netbridged.service.in
  ${PROJECT_BINARY_DIR}/packaging/netbridged.service @ONLY)
set(INKPORT_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING "Where the systemd unit is installed, relative to the prefix")
install(FILES ${PROJECT_BINARY_DIR}/packaging/netbridged.service
  DESTINATION ${INKPORT_SYSTEMD_UNIT_DIR})
# Where the unit looks for it: with the prefix /usr that is /etc, outside the
# prefix; otherwise the file stays under the prefix (cmake --install --prefix).
set(NETBRIDGED_ENV_DIR ${CMAKE_INSTALL_SYSCONFDIR}/default)
cmake_path(IS_PREFIX CMAKE_INSTALL_PREFIX "${CMAKE_INSTALL_FULL_SYSCONFDIR}" NORMALIZE sysconf_in_prefix)
if(NOT sysconf_in_prefix)
  set(NETBRIDGED_ENV_DIR ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/packaging/netbridged/netbridged.default
  DESTINATION ${NETBRIDGED_ENV_DIR} RENAME netbridged)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/netbridged/netbridged.1
  DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
