# Debian packages, one per install component (cpack -G DEB in a Release
# build; scripts/package does both):
#   tavrix-sink-mqtt  the plug-in, its sample configuration and the README
#   tavrix-sink-run   the command-line host, its manual page and its own
#                     copy of the host stand-in
set(TAVRIX_PACKAGE_CONTACT "tavrix-sink-mqtt maintainers <root@localhost>" CACHE STRING
  "Maintainer field of the Debian packages")

set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${TAVRIX_PACKAGE_CONTACT}")
set(CPACK_GENERATOR DEB)
set(CPACK_STRIP_FILES ON)
# The packages install where this build was configured to, so that the
# paths its manual page names are the installed ones.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL plugin)
if(TAVRIX_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL runner)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# dpkg-shlibdeps must find every library a binary needs. The plug-in needs
# libtavrixd.so.15, which only the agent (or our stand-in) provides and no
# Debian package does: found in the stand-in's build directory, it adds no
# dependency.
get_target_property(tavrix_stand_in_dir tavrixd BINARY_DIR)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${tavrix_stand_in_dir})

set(CPACK_DEBIAN_PLUGIN_PACKAGE_NAME tavrix-sink-mqtt)
set(CPACK_COMPONENT_PLUGIN_DESCRIPTION
  "MQTT sink plug-in for the tavrixd network-monitoring agent
The agent loads libtavrix-sink-mqtt.so.0 from its plug-in directory and
hands it rendered payloads tagged with channel names; the plug-in
publishes each payload once per channel to an MQTT broker through
libmosquitto, on a topic expanded from a template. Each instance reads a
JSON configuration; an annotated sample is in the documentation.")

set(CPACK_DEBIAN_RUNNER_PACKAGE_NAME tavrix-sink-run)
set(CPACK_DEBIAN_RUNNER_PACKAGE_SECTION utils)
# The runner's default plug-in is the packaged one.
set(CPACK_COMPONENT_RUNNER_DEPENDS plugin)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENT_RUNNER_DESCRIPTION
  "command-line host of the tavrix-sink-mqtt plug-in
tavrix-sink-run loads the MQTT sink plug-in the way the tavrixd agent
does and publishes payloads read from standard input or a file, with
mosquitto_pub's flags or the plug-in's own configuration, and tells
whether every payload was delivered. It brings a private stand-in of the
agent's host library, which never replaces the agent's own.")

# Refused at packaging time rather than shipped with debug information or
# without optimisation.
set(CPACK_TAVRIX_BUILD_TYPE "${CMAKE_BUILD_TYPE}")
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/PackagingChecks.cmake)

include(CPack)
