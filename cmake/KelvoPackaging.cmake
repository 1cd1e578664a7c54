# Debian packages (make package: build/packages/*.deb), each made of the
# install components named below, and only when they have install rules,
# so parts that come and go (python, the Wireshark dissector inside tools) need
# no change here. Dependencies on system libraries come from dpkg-shlibdeps;
# the packages of the project depend on the exact libkelvo1 of the same build.
set(KELVO_DEB_VERSION ${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH})

# components | package | section | description. The first component names the
# package's group; install rules without a component ("Unspecified") go with
# the tools.
set(KELVO_PACKAGES
  "runtime|libkelvo${PROJECT_VERSION_MAJOR}|libs|Kelvo device component and its transport\nThe component through which host programs talk to drive and motion controllers over TCP/IP (optionally TLS) and serial links, with the transport library and the message file. Installing it registers both in /etc/kelvo/registry."
  "dev|libkelvo-dev|libdevel|Kelvo device component: development files\nHeaders, the libkelvo.so link, the CMake package (find_package(Kelvo)) and kelvo.pc for pkg-config."
  "tools Unspecified|kelvo-tools|utils|Kelvo command-line tools, device simulator and trace viewer\nkelvo talks to a device through the component, kelvo-sim simulates a device, kelvo-trace shows the component's trace. With man pages, bash completions and, when built, the Wireshark dissector."
  "python|python3-kelvo|python|Python binding of the Kelvo device component\nThe kelvo module for Python 3."
  "ui_qt|kelvo-ui-qt|libs|Kelvo connection settings dialog (Qt)\nThe window of the component's settings dialog, loaded on demand so that the library itself does not need Qt.")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvo)
set(CPACK_PACKAGE_VERSION ${KELVO_DEB_VERSION})
set(CPACK_PACKAGE_VENDOR "Kelvo project")
set(CPACK_PACKAGE_CONTACT "Kelvo developers <kelvo@localhost>")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Libraries of the project are found in the build tree; the dependency on
# them is the explicit one below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_COMPONENTS_GROUPING ONE_PER_GROUP)

# Maintainer scripts of the runtime package: registration on configure,
# unregistration on removal, the registry folder cleared on purge; the
# ldconfig trigger and the shlibs file of libkelvo.so.1.
set(KELVO_DEB_LIBDIR ${CPACK_PACKAGING_INSTALL_PREFIX}/${CMAKE_INSTALL_LIBDIR})
set(KELVO_DEB_REGSVR ${CPACK_PACKAGING_INSTALL_PREFIX}/${KELVO_REGSVR_DIR}/kelvo-regsvr)
set(KELVO_DEB_LIBRARIES "\"$DPKG_ROOT${KELVO_DEB_LIBDIR}/$<TARGET_SONAME_FILE_NAME:kelvo>\"")
if(TARGET kelvo_portway)
  string(APPEND KELVO_DEB_LIBRARIES
    " \"$DPKG_ROOT${KELVO_DEB_LIBDIR}/$<TARGET_FILE_NAME:kelvo_portway>\"")
endif()
set(KELVO_DEB_SCRIPTS ${CMAKE_BINARY_DIR}/debian)
foreach(script postinst prerm postrm)
  configure_file(cmake/debian/${script}.in ${KELVO_DEB_SCRIPTS}/${script}.in @ONLY)
  file(GENERATE OUTPUT ${KELVO_DEB_SCRIPTS}/${script} INPUT ${KELVO_DEB_SCRIPTS}/${script}.in
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
    WORLD_EXECUTE)
endforeach()
configure_file(cmake/debian/triggers ${KELVO_DEB_SCRIPTS}/triggers COPYONLY)
# Programs built against libkelvo.so.1 depend on this package from this version on.
file(WRITE ${KELVO_DEB_SCRIPTS}/shlibs
  "libkelvo ${PROJECT_VERSION_MAJOR} libkelvo${PROJECT_VERSION_MAJOR} (>= ${KELVO_DEB_VERSION})\n")

# At the end of the configuration, when every install rule is known.
function(kelvo_configure_packages)
  get_cmake_property(present COMPONENTS)
  set(CPACK_COMPONENTS_ALL)
  foreach(entry IN LISTS KELVO_PACKAGES)
    string(REPLACE "|" ";" entry "${entry}")
    list(GET entry 0 components)
    list(GET entry 1 package)
    list(GET entry 2 section)
    list(GET entry 3 description)
    string(REPLACE " " ";" components "${components}")
    list(GET components 0 group)
    set(found)
    foreach(component IN LISTS components)
      if(component IN_LIST present)
        list(APPEND found ${component})
        string(TOUPPER ${component} upper)
        set(CPACK_COMPONENT_${upper}_GROUP ${group})
      endif()
    endforeach()
    if(NOT found)
      continue()
    endif()
    list(APPEND CPACK_COMPONENTS_ALL ${found})
    string(TOUPPER ${group} upper)
    set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
    set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION ${section})
    set(CPACK_COMPONENT_${upper}_DESCRIPTION "${description}")
    if(NOT group STREQUAL "runtime")
      set(CPACK_COMPONENT_${upper}_DEPENDS runtime)
    endif()
  endforeach()
  list(REMOVE_ITEM present ${CPACK_COMPONENTS_ALL})
  if(present)
    message(WARNING "Install components without a package (see cmake/KelvoPackaging.cmake): ${present}")
  endif()
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
    ${KELVO_DEB_SCRIPTS}/postinst ${KELVO_DEB_SCRIPTS}/prerm ${KELVO_DEB_SCRIPTS}/postrm
    ${KELVO_DEB_SCRIPTS}/triggers ${KELVO_DEB_SCRIPTS}/shlibs)
  # Suggested, not recommended: the library must not bring Qt along.
  set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS "kelvo-tools, kelvo-ui-qt")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS python3)
  include(CPack)
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL kelvo_configure_packages)
