# Debian packages from the build tree:   cd build && cpack -G DEB
#   libzavo-api1     the shared library (package name follows its soname)
#   libzavo-capture1 the offline decoder of capture files (libpcap, libzstd),
#                    apart so that the client library's package needs neither
#   libzavo-api-dev  headers, CMake package, pkg-config files
#   zavo-tools       the simulator, the client, feedtap and the other programs
# Versions come from the project version. Dependencies on system libraries
# are computed from the binaries themselves by dpkg-shlibdeps, so a program
# that starts linking another library (libpcap, say) declares it without
# anyone having to remember; the packages' dependencies on each other come
# from the component relations below.
set(ZAVO_SOVERSION ${PROJECT_VERSION_MAJOR})

set(CPACK_PACKAGE_NAME zavo-api)
set(CPACK_PACKAGE_VENDOR "zavo_api maintainers")
set(CPACK_PACKAGE_CONTACT "Seed 29f3034c maintainers <maintainers@users.noreply.c-seed-29f3034c.example>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY zavo_api)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING IGNORE)
set(CPACK_COMPONENTS_ALL runtime capture dev)
if(ZAVO_BUILD_TOOLS)
  list(APPEND CPACK_COMPONENTS_ALL tools)
endif()

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The programs' own library is not installed on the system that builds the
# packages: dpkg-shlibdeps finds it in the build tree, and the dependency on
# its package comes from the component relation (same version exactly).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/src)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The library package says which package provides its soname (shlibs), so
# other packages built against it depend on it properly.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

# The dynamic linker's cache follows the library through dpkg's ldconfig
# trigger, once per dpkg run, rather than by maintainer scripts calling
# ldconfig. CPack writes such scripts for a package with libraries in
# /usr/lib unless the package brings its own postinst and postrm: naming
# them here, with no file behind the names, leaves both out.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/cmake/debian/triggers
  ${CMAKE_BINARY_DIR}/debian/none/postinst ${CMAKE_BINARY_DIR}/debian/none/postrm)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_CAPTURE_PACKAGE_CONTROL_EXTRA ${CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA})
set(CPACK_DEBIAN_CAPTURE_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libzavo-api${ZAVO_SOVERSION})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_CAPTURE_PACKAGE_NAME libzavo-capture${ZAVO_SOVERSION})
set(CPACK_DEBIAN_CAPTURE_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libzavo-api-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME zavo-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION net)

# Debian descriptions: the first line is the package's summary. (No
# semicolons: CMake would read them as list separators.)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "market-data client library for the Shanghai and Shenzhen exchanges
The library logs in to a market-data server over TCP, joins its multicast
feed, decodes every packet and hands each record to the program's callback
through a C interface. It keeps the code tables and the last snapshots for
queries and replays ranges on request. Beside it, libzavo_book rebuilds
order books from the order and trade details and checks them against every
snapshot.")
set(CPACK_DEBIAN_CAPTURE_DESCRIPTION "market-data capture files decoded offline
libzavo_capture reads capture files of a market-data feed (pcap or pcapng,
plain or zstd-compressed) and decodes them with the client library's own
decoders and subscription filter, handing each record to the program's
callback as a live session would, with a summary of sequence gaps and of
any damage in the file.")
set(CPACK_DEBIAN_DEV_DESCRIPTION "market-data client library - development files
The C headers, the CMake package (find_package(zavo_api)) and the
pkg-config files (zavo_api, zavo_book, zavo_capture) for building programs
against the market-data client library, the order-book builder and the
offline decoder of capture files.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "market-data simulator, client and feed capture programs
zavo_sim simulates a market-data server (control connection and multicast
feed) for development without an exchange connection. zavo_tail prints what
a session receives, live or from a capture file. zavo_record records a feed
into a pcap file that zavo_sim replays. feedtap captures a level-2 gateway
feed as CSV text, and feedtap_gen sends synthetic messages for it.")

include(CPack)

# Every package carries its copyright file and the changelog, compressed as
# Debian expects, in /usr/share/doc/<package>. They are installed only into
# the packages (component installs), not by a plain `cmake --install`.
find_program(ZAVO_GZIP gzip)
if(ZAVO_GZIP)
  set(ZAVO_DEB_CHANGELOG ${CMAKE_BINARY_DIR}/debian/changelog.gz)
  add_custom_command(OUTPUT ${ZAVO_DEB_CHANGELOG}
    COMMAND ${ZAVO_GZIP} -9nc ${CMAKE_SOURCE_DIR}/cmake/debian/changelog > ${ZAVO_DEB_CHANGELOG}
    DEPENDS ${CMAKE_SOURCE_DIR}/cmake/debian/changelog
    COMMENT "Compressing the Debian changelog")
  add_custom_target(zavo_deb_changelog ALL DEPENDS ${ZAVO_DEB_CHANGELOG})
  foreach(component IN LISTS CPACK_COMPONENTS_ALL)
    string(TOUPPER ${component} upper)
    set(doc ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_DEBIAN_${upper}_PACKAGE_NAME})
    install(FILES ${CMAKE_SOURCE_DIR}/cmake/debian/copyright DESTINATION ${doc}
      COMPONENT ${component} EXCLUDE_FROM_ALL)
    install(FILES ${ZAVO_DEB_CHANGELOG} DESTINATION ${doc} COMPONENT ${component} EXCLUDE_FROM_ALL)
  endforeach()
endif()

cpack_add_component(runtime DISPLAY_NAME "Shared library")
cpack_add_component(capture DISPLAY_NAME "Offline decoder")
cpack_add_component(dev DISPLAY_NAME "Development files" DEPENDS runtime capture)
if(ZAVO_BUILD_TOOLS)
  cpack_add_component(tools DISPLAY_NAME "Programs" DEPENDS runtime capture)
endif()
