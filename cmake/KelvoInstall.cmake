# Installation, by the components the packages are made of:
#   runtime  libkelvo.so.1 and the transport libportway.so with Kelvo.ERR beside
#            them, and kelvo-regsvr that registers them
#   dev      the public headers, the libkelvo.so link, the CMake package and kelvo.pc
#   tools    kelvo, kelvo-sim and kelvo-trace with their man pages and bash
#            completions, the sample error-log descriptions (and whatever is
#            installed without a component: the Wireshark dissector)
#   ui_qt    the settings dialog window (a plugin, so the library needs no Qt)
# Other parts of the project install under components of their own (python).
include(CMakePackageConfigHelpers)
set(KELVO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kelvo)

install(TARGETS kelvo EXPORT KelvoTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
if(TARGET kelvo_portway)
  install(TARGETS kelvo_portway LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
endif()
install(FILES data/Kelvo.ERR DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime)
set(KELVO_REGSVR_DIR ${CMAKE_INSTALL_LIBEXECDIR}/kelvo)
if(TARGET kelvo-regsvr)
  install(TARGETS kelvo-regsvr RUNTIME DESTINATION ${KELVO_REGSVR_DIR} COMPONENT runtime)
endif()

install(DIRECTORY include/kelvo DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(EXPORT KelvoTargets NAMESPACE Kelvo:: DESTINATION ${KELVO_CMAKE_DIR} COMPONENT dev)
configure_package_config_file(cmake/KelvoConfig.cmake.in ${CMAKE_BINARY_DIR}/KelvoConfig.cmake
  INSTALL_DESTINATION ${KELVO_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/KelvoConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/KelvoConfig.cmake ${CMAKE_BINARY_DIR}/KelvoConfigVersion.cmake
  DESTINATION ${KELVO_CMAKE_DIR} COMPONENT dev)
# kelvo.pc finds the prefix from its own folder, so an installed tree can move.
set(KELVO_PKGCONFIG_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH KELVO_PKGCONFIG_TO_PREFIX /prefix/${KELVO_PKGCONFIG_DIR} /prefix)
configure_file(cmake/kelvo.pc.in ${CMAKE_BINARY_DIR}/kelvo.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kelvo.pc DESTINATION ${KELVO_PKGCONFIG_DIR} COMPONENT dev)

if(TARGET kelvo_ui_qt)
  install(TARGETS kelvo_ui_qt LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT ui_qt)
endif()

foreach(tool kelvo_tool kelvo-sim kelvo-trace)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
    set(KELVO_INSTALLS_TOOLS ON)
  endif()
endforeach()
if(KELVO_INSTALLS_TOOLS)
  # The tools hold the component themselves: its message file goes beside them.
  install(FILES data/Kelvo.ERR DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)
  install(DIRECTORY tools/kelvo-sim/errorlog/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kelvo/errorlog
    COMPONENT tools)
  include(cmake/KelvoToolDocs.cmake)
endif()
