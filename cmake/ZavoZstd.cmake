# libzstd from the distribution (libzstd-dev) for compressed capture files.
# Optional: without it everything builds, and the compressed-file paths say
# that this build cannot read or write them.
if(NOT TARGET PkgConfig::ZAVO_ZSTD)
  find_package(PkgConfig QUIET)
  if(PkgConfig_FOUND)
    pkg_check_modules(ZAVO_ZSTD QUIET IMPORTED_TARGET GLOBAL libzstd)
  endif()
  if(ZAVO_ZSTD_FOUND)
    message(STATUS "libzstd ${ZAVO_ZSTD_VERSION}: compressed capture files")
  else()
    message(STATUS "libzstd not found: no compressed capture files (install libzstd-dev)")
  endif()
endif()
