# The library directory of an install, chosen before GNUInstallDirs.
#
# Debian and its derivatives keep libraries in the multiarch directory
# (lib/x86_64-linux-gnu). GNUInstallDirs picks it only when the configured
# prefix is /usr, but the Debian packages are staged from whatever tree they
# are made in (the default prefix is /usr/local), and they must install into
# /usr/lib/x86_64-linux-gnu. So on such a host every install uses it; the
# dynamic linker and pkg-config search it under /usr and /usr/local alike.
# -DCMAKE_INSTALL_LIBDIR=lib keeps the plain layout.
if(WIN32 OR CMAKE_CROSSCOMPILING OR NOT EXISTS /etc/debian_version)
  return()
endif()
# A tree configured before this rule holds GNUInstallDirs' cached "lib"
# (typed PATH; a -D on the command line is untyped until configured): taken
# over once, then the cached value is the user's to change.
if(DEFINED CACHE{CMAKE_INSTALL_LIBDIR} AND NOT DEFINED CACHE{ZAVO_LIBDIR_CHOSEN})
  get_property(zavo_libdir_type CACHE CMAKE_INSTALL_LIBDIR PROPERTY TYPE)
  if(zavo_libdir_type STREQUAL "PATH" AND "$CACHE{CMAKE_INSTALL_LIBDIR}" STREQUAL "lib")
    unset(CMAKE_INSTALL_LIBDIR CACHE)
  endif()
endif()
set(ZAVO_LIBDIR_CHOSEN ON CACHE INTERNAL "")
if(DEFINED CMAKE_INSTALL_LIBDIR)
  return()
endif()
find_program(ZAVO_DPKG_ARCHITECTURE dpkg-architecture)
set(ZAVO_MULTIARCH "")
if(ZAVO_DPKG_ARCHITECTURE)
  execute_process(COMMAND ${ZAVO_DPKG_ARCHITECTURE} -qDEB_HOST_MULTIARCH
    OUTPUT_VARIABLE ZAVO_MULTIARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT ZAVO_MULTIARCH)
  # Without dpkg-dev: the compiler's own multiarch name, as GNUInstallDirs.
  set(ZAVO_MULTIARCH "${CMAKE_LIBRARY_ARCHITECTURE}")
endif()
if(ZAVO_MULTIARCH)
  set(CMAKE_INSTALL_LIBDIR "lib/${ZAVO_MULTIARCH}" CACHE PATH "Object code libraries (lib/${ZAVO_MULTIARCH})")
endif()
