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

# zavo_install_pc(<name>): installs cmake/<name>.pc.in as <name>.pc. The
# prefix is written when the install runs: `cmake --install --prefix
# /opt/zavo` gets /opt/zavo, the Debian packages (staged under DESTDIR) /usr,
# so pkg-config prints plain paths such as -I/usr/include, and a prefix given
# only at install time is the one the file names.
function(zavo_install_pc name)
  set(ZAVO_PC_PREFIX "@ZAVO_PC_PREFIX@")
  set(template ${CMAKE_BINARY_DIR}/pc/${name}.pc.in)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/${name}.pc.in ${template} @ONLY)
  install(CODE "
    file(READ \"${template}\" zavo_pc)
    string(REPLACE \"@ZAVO_PC_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" zavo_pc \"\${zavo_pc}\")
    file(WRITE \"${CMAKE_BINARY_DIR}/pc/${name}.pc\" \"\${zavo_pc}\")"
    COMPONENT dev)
  install(FILES ${CMAKE_BINARY_DIR}/pc/${name}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
    COMPONENT dev)
endfunction()
zavo_install_pc(zavo_api)
