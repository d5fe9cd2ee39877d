# What a user takes away from a build: the driver module, the host logging
# module, the host library with its headers, and the CMake package that
# finds them (find_package(OrvTiw) gives OrvTiw::host).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(ORVTIW_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/OrvTiw)
if(WIN32)
  set(ORVTIW_KELMAR_TARGET kelmar_windows)
else()
  set(ORVTIW_KELMAR_TARGET kelmar)
endif()

set_target_properties(OrvTiw PROPERTIES EXPORT_NAME module)
set_target_properties(${ORVTIW_KELMAR_TARGET} PROPERTIES EXPORT_NAME kelmar)
install(TARGETS OrvTiw ${ORVTIW_KELMAR_TARGET} orvtiw_host orvtiw_host_shared
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
