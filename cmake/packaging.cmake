# What an install holds beside the programs, libraries and plug-ins (those
# are installed where they are built): the headers with a pkg-config file
# and a CMake package for plug-in and host-program authors, the counter
# schema, and the documentation with man pages and the example.  The Debian
# packages (debian/) are cut from this install.
include(CMakePackageConfigHelpers)

install(DIRECTORY include/hv DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# find_package(hvds) gives hvds::headers (the include directory with NSPR's
# and the LDAP library's flags: all a plug-in needs), hvds::hvhost and
# hvds::dsmigrate.
set_target_properties(hv_headers PROPERTIES EXPORT_NAME headers)
set_target_properties(hv_ldap PROPERTIES EXPORT_NAME ldap)
install(TARGETS hv_headers hv_ldap EXPORT hvdsTargets)
set(HV_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/hvds)
install(EXPORT hvdsTargets NAMESPACE hvds:: DESTINATION ${HV_CMAKE_DIR})
configure_package_config_file(cmake/hvdsConfig.cmake.in ${CMAKE_BINARY_DIR}/hvdsConfig.cmake
  INSTALL_DESTINATION ${HV_CMAKE_DIR} PATH_VARS HV_INSTALL_PLUGINDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/hvdsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/hvdsConfig.cmake ${CMAKE_BINARY_DIR}/hvdsConfigVersion.cmake
  DESTINATION ${HV_CMAKE_DIR})

# hvds.pc finds its prefix relative to itself, so that a tree installed
# into any prefix (cmake --install --prefix) describes itself correctly.  A
# build for /usr (the Debian packages) names /usr, so that pkg-config gives
# the plain system paths.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(HV_PC_PREFIX /usr)
else()
  file(RELATIVE_PATH HV_PC_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
  string(REGEX REPLACE "/$" "" HV_PC_PREFIX "\${pcfiledir}/${HV_PC_PREFIX}")
endif()
configure_file(cmake/hvds.pc.in ${CMAKE_BINARY_DIR}/hvds.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/hvds.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The object classes and attribute types the counters use, for OpenLDAP's
# slapd (docs/openldap.md includes it from here).
install(FILES tests/openldap/counters.schema DESTINATION ${CMAKE_INSTALL_DATADIR}/hvds)

file(GLOB HV_MAN8 ${CMAKE_SOURCE_DIR}/docs/man/*.8)
install(FILES ${HV_MAN8} DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(FILES LICENSE README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md"
  PATTERN man EXCLUDE)
# run-example.sh takes the installation prefix as well as a build tree.
install(PROGRAMS examples/run-example.sh examples/make-server-root.sh
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES examples/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(DIRECTORY examples/openldap DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

# A package build passes the version of its changelog (debian/rules): the
# two must agree.
if(DEFINED HV_PACKAGE_VERSION AND NOT HV_PACKAGE_VERSION VERSION_EQUAL PROJECT_VERSION)
  message(FATAL_ERROR "debian/changelog is at ${HV_PACKAGE_VERSION}, the project at ${PROJECT_VERSION}")
endif()
