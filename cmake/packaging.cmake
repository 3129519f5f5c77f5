# What an install holds beside the programs, libraries and plug-ins (those
# are installed where they are built): the headers with a pkg-config file
# and a CMake package for plug-in and host-program authors, the counter
# schema, the documentation with man pages and the example, and the Debian
# package that CPack builds from all of it (cpack -G DEB in the build tree).
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
  INSTALL_DESTINATION ${HV_CMAKE_DIR} PATH_VARS CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/hvdsConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/hvdsConfig.cmake ${CMAKE_BINARY_DIR}/hvdsConfigVersion.cmake
  DESTINATION ${HV_CMAKE_DIR})

# hvds.pc finds its prefix relative to itself, so that a tree installed
# into any prefix (cmake --install --prefix) describes itself correctly.
file(RELATIVE_PATH HV_PC_TO_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
string(REGEX REPLACE "/$" "" HV_PC_TO_PREFIX "${HV_PC_TO_PREFIX}")
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

# The Debian package: one package with the programs, libraries, plug-ins,
# headers and documentation.  The shared-library dependencies come from
# dpkg-shlibdeps; the example needs certutil.
set(CPACK_PACKAGE_NAME hvds)
set(CPACK_PACKAGE_VENDOR "hvds developers")
set(CPACK_PACKAGE_CONTACT "hvds developers <hvds-dev@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "directory server migration tool, counter plug-ins and plug-in host library")
set(CPACK_PACKAGE_DESCRIPTION
  "dsmigrate moves directory server instances between patch levels; nodetally and attrtally keep counters in entries; libhvhost hosts plug-ins of the published slapi interface.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libnss3-tools")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libnspr4-dev, libldap-dev, pkg-config")
set(CPACK_GENERATOR DEB)
include(CPack)
