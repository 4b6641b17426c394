include(CMakePackageConfigHelpers)

install(TARGETS inkport netbridge EXPORT inkportTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS vlink LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS netbridged RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/ DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  FILES_MATCHING PATTERN "*.h")
# The reference agent under the plain name the bridges dlopen, and the
# header of its remote-call protocol as <inkagent/protocol.h>. The agent is a
# plug-in of the bridges, so it lives in a folder of theirs beside the
# libraries, not on the default library path where every program that asks
# for the name would find it. The installed bridges search that folder after
# LD_LIBRARY_PATH, so another agent can still be put in front.
set_target_properties(netbridge vlink PROPERTIES INSTALL_RPATH "$ORIGIN/inkport")
if(TARGET inkagent)
  install(TARGETS inkagent LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}/inkport)
  install(FILES ${PROJECT_SOURCE_DIR}/agent/protocol.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/inkagent)
endif()
# The pad tool, which drives pads locally or through a bridge.
if(TARGET inkctl)
  install(TARGETS inkctl RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

# The .pc files find the prefix relative to themselves, so an installed tree
# may be moved (or installed with DESTDIR / --prefix) and still work.
file(RELATIVE_PATH PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
foreach(pc inkport netbridge)
  configure_file(${PROJECT_SOURCE_DIR}/cmake/${pc}.pc.in ${PROJECT_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endforeach()

install(EXPORT inkportTargets NAMESPACE inkport:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/inkport)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/inkportConfig.cmake.in
  ${PROJECT_BINARY_DIR}/inkportConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/inkport)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/inkportConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/inkportConfig.cmake ${PROJECT_BINARY_DIR}/inkportConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/inkport)

# A daemon's settings file and man page, from packaging/<name>/<name>.default
# and <name>.1. The settings go where its unit looks for them: with the
# prefix /usr that is /etc, outside the prefix; otherwise they stay under the
# prefix (cmake --install --prefix).
function(inkport_install_settings_and_man name)
  set(env_dir ${CMAKE_INSTALL_SYSCONFDIR}/default)
  cmake_path(IS_PREFIX CMAKE_INSTALL_PREFIX "${CMAKE_INSTALL_FULL_SYSCONFDIR}" NORMALIZE sysconf_in_prefix)
  if(NOT sysconf_in_prefix)
    set(env_dir ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/${name}/${name}.default
    DESTINATION ${env_dir} RENAME ${name})
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/${name}/${name}.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endfunction()

# Further install rules (udev rules, the daemon's unit and man page) join here.
file(GLOB INKPORT_EXTRA_INSTALL CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/packaging/*.cmake)
foreach(f ${INKPORT_EXTRA_INSTALL})
  include(${f})
endforeach()
