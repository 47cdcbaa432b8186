# Installation of the library as a package others can find: the shared
# library with its SONAME links, the headers (with the generated version
# header), tarvo.pc for pkg-config, the CMake package tarvo::tarvo and the
# udev rule for the camera.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

configure_file(${PROJECT_SOURCE_DIR}/cmake/in/tarvo.pc.in ${PROJECT_BINARY_DIR}/tarvo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/tarvo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
install(FILES ${PROJECT_BINARY_DIR}/include/tarvo/tarvo_version.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tarvo)

set(TARVO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/tarvo)
install(TARGETS tarvo EXPORT tarvoTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(EXPORT tarvoTargets NAMESPACE tarvo:: DESTINATION ${TARVO_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/in/tarvoConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/tarvoConfig.cmake INSTALL_DESTINATION ${TARVO_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/tarvoConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/tarvoConfig.cmake ${PROJECT_BINARY_DIR}/tarvoConfigVersion.cmake
        DESTINATION ${TARVO_CMAKE_DIR})

install(FILES ${PROJECT_SOURCE_DIR}/packaging/70-tarvo.rules DESTINATION lib/udev/rules.d)
