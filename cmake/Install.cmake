# What a user takes away from a build, and the packages made of it.
#
# Linux: the driver module, the host logging module, the host library with
# its headers and the CMake package that finds them (find_package(OrvTiw)
# gives OrvTiw::host), the programs, their man pages and the example files,
# orvgate as a service (systemd units, its configuration in /etc/orvgate,
# a system user made by the maintainer scripts of packaging/debian/);
# packed by CPack as a Debian package.
#
# Windows: the set a 32-bit host installation needs, in one folder: the
# driver module, KELMAR.dll, orvhost.exe and the README; packed as a zip.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(WIN32)
  install(TARGETS OrvTiw kelmar_windows RUNTIME DESTINATION . LIBRARY DESTINATION .)
  if(TARGET orvhost)
    install(TARGETS orvhost RUNTIME DESTINATION .)
  endif()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION .)
else()
  set(ORVTIW_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/OrvTiw)
  set_target_properties(OrvTiw PROPERTIES EXPORT_NAME module)
  set_target_properties(kelmar PROPERTIES EXPORT_NAME kelmar)
  install(TARGETS OrvTiw kelmar orvtiw_host orvtiw_host_shared
          EXPORT OrvTiwTargets
          RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/include/orvtiw/host_abi.h
                ${PROJECT_SOURCE_DIR}/tools/host/include/orvtiw/host.h
                ${PROJECT_SOURCE_DIR}/tools/host/include/orvtiw/host_values.h
          DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/orvtiw)
  install(EXPORT OrvTiwTargets NAMESPACE OrvTiw:: DESTINATION ${ORVTIW_PACKAGE_DIR})
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/OrvTiwConfig.cmake.in
                                ${PROJECT_BINARY_DIR}/OrvTiwConfig.cmake INSTALL_DESTINATION ${ORVTIW_PACKAGE_DIR})
  write_basic_package_version_file(${PROJECT_BINARY_DIR}/OrvTiwConfigVersion.cmake COMPATIBILITY SameMajorVersion)
  install(FILES ${PROJECT_BINARY_DIR}/OrvTiwConfig.cmake ${PROJECT_BINARY_DIR}/OrvTiwConfigVersion.cmake
          DESTINATION ${ORVTIW_PACKAGE_DIR})

  # The programs (found beside each other or in the library directory next
  # to theirs) and what documents them.
  foreach(program IN ITEMS orvhost tiwaysim orvgate)
    if(TARGET ${program})
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    endif()
  endforeach()
  get_property(ORVTIW_MAN_PAGES GLOBAL PROPERTY ORVTIW_MAN_PAGES)
  if(ORVTIW_MAN_PAGES)
    install(FILES ${ORVTIW_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  endif()
  get_property(ORVTIW_EXAMPLE_FILES GLOBAL PROPERTY ORVTIW_EXAMPLE_FILES)
  install(FILES ${PROJECT_SOURCE_DIR}/sim/example_network.conf ${ORVTIW_EXAMPLE_FILES}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/orvtiw)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/orvtiw)
  # The tools' READMEs in the folders the main README names them by, so
  # that its references hold in the installed tree too.
  foreach(readme IN ITEMS tools/orvgate tools/orvhost sim)
    install(FILES ${PROJECT_SOURCE_DIR}/${readme}/README.md
            DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/orvtiw/${readme})
  endforeach()

  if(TARGET orvgate)
    # The units where systemd looks for a package's (not enabled), and the
    # example map as the service's configuration: in PREFIX/etc/orvgate, which
    # the package moves to /etc/orvgate (cmake/DebianEtc.cmake), so that an
    # install elsewhere never writes to the system's /etc.
    install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/orvgate.service
                  ${PROJECT_SOURCE_DIR}/packaging/systemd/tiwaysim.service
            DESTINATION lib/systemd/system)
    set(ORVTIW_SERVICE_CONFIG plant.map plant01.int plant02.int)
    list(TRANSFORM ORVTIW_SERVICE_CONFIG PREPEND ${PROJECT_SOURCE_DIR}/tools/orvgate/examples/ OUTPUT_VARIABLE files)
    install(FILES ${files} DESTINATION ${CMAKE_INSTALL_SYSCONFDIR}/orvgate)
    set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/DebianEtc.cmake)
    # dpkg keeps a changed configuration file across upgrades and asks before replacing it.
    list(TRANSFORM ORVTIW_SERVICE_CONFIG PREPEND /etc/orvgate/ OUTPUT_VARIABLE conffiles)
    list(JOIN conffiles "\n" conffiles)
    file(WRITE ${PROJECT_BINARY_DIR}/debian/conffiles "${conffiles}\n")
    set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
        ${PROJECT_SOURCE_DIR}/packaging/debian/postinst ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
        ${PROJECT_SOURCE_DIR}/packaging/debian/postrm ${PROJECT_BINARY_DIR}/debian/conffiles)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    # postinst makes the system user with adduser.
    set(CPACK_DEBIAN_PACKAGE_DEPENDS adduser)
  endif()

  # The rule that links the device file to /dev/mem on a machine with a
  # card: inert beside the examples until copied into /etc/tmpfiles.d.
  configure_file(${PROJECT_SOURCE_DIR}/cmake/orvtiw-card.conf.in ${PROJECT_BINARY_DIR}/orvtiw-card.conf @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/orvtiw-card.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/orvtiw)
endif()

set(CPACK_PACKAGE_NAME orvtiw)
set(CPACK_PACKAGE_VENDOR "ORVTIW Driver Project")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "TIWAY host adapter driver module for SCADA/HMI hosts, its host library, tools and simulated card")
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/packages)
# Debug information stays in the build tree.
set(CPACK_STRIP_FILES ON)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4)
    set(CPACK_SYSTEM_NAME win32)
  else()
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "ORVTIW Driver Project")
  set(CPACK_DEBIAN_PACKAGE_SECTION misc)
  # The libraries the programs and modules load, found by dpkg-shlibdeps.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
