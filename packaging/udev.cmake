# udev rules that give the logged-in user access to the pads.
set(INKPORT_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING "Where the udev rules are installed, relative to the prefix")
install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/70-inkport-pads.rules DESTINATION ${INKPORT_UDEV_RULES_DIR})
