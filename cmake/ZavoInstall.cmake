# Installs the header, the shared object, a CMake package
# (find_package(zavo_api) -> zavo_api::zavo_api) and a pkg-config file.
# Two install components, one per Debian package: "runtime" holds only the
# versioned shared object, "dev" what a program needs to build against it.
include(CMakePackageConfigHelpers)

install(TARGETS zavo_api EXPORT zavo_apiTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/zavo_api.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev)
install(EXPORT zavo_apiTargets NAMESPACE zavo_api::
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zavo_api COMPONENT dev)

configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/zavo_apiConfig.cmake.in
  ${CMAKE_BINARY_DIR}/zavo_apiConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zavo_api)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/zavo_apiConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/zavo_apiConfig.cmake ${CMAKE_BINARY_DIR}/zavo_apiConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zavo_api COMPONENT dev)

# The .pc file locates the prefix relative to itself, so an install moved
# with --prefix (or unpacked anywhere) still points at the right place.
file(RELATIVE_PATH ZAVO_PC_REL_PREFIX "${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig" "${CMAKE_INSTALL_PREFIX}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/zavo_api.pc.in ${CMAKE_BINARY_DIR}/zavo_api.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/zavo_api.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT dev)
