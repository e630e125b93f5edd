# liblz4 and libxxhash through pkg-config, as the imported targets
# PkgConfig::VAKRA_LZ4 and PkgConfig::VAKRA_XXHASH, and the platform's threads
# (Threads::Threads) for the codec's worker pool. Shared by the build and by
# the installed package configuration, so both find them the same way. On
# failure VAKRA_MISSING_DEPENDENCY holds what to install; the includer decides
# whether that is fatal.
set(VAKRA_MISSING_DEPENDENCY "")
set(THREADS_PREFER_PTHREAD_FLAG ON)
find_package(Threads QUIET)
if(NOT Threads_FOUND)
  set(VAKRA_MISSING_DEPENDENCY "no threads library found for this compiler")
endif()
if(NOT TARGET PkgConfig::VAKRA_LZ4 OR NOT TARGET PkgConfig::VAKRA_XXHASH)
  find_package(PkgConfig QUIET)
  if(NOT PkgConfig_FOUND)
    set(VAKRA_MISSING_DEPENDENCY
        "pkg-config not found: install the Debian package pkg-config (apt-get install pkg-config)")
  else()
    pkg_check_modules(VAKRA_LZ4 QUIET IMPORTED_TARGET liblz4)
    pkg_check_modules(VAKRA_XXHASH QUIET IMPORTED_TARGET libxxhash)
    if(NOT VAKRA_LZ4_FOUND)
      set(VAKRA_MISSING_DEPENDENCY
          "liblz4 not found: install the Debian package liblz4-dev (apt-get install liblz4-dev)")
    elseif(NOT VAKRA_XXHASH_FOUND)
      set(VAKRA_MISSING_DEPENDENCY
          "libxxhash not found: install the Debian package libxxhash-dev (apt-get install libxxhash-dev)")
    endif()
  endif()
endif()

# VAKRA_STATIC_RUNTIME (the portable wheel): liblz4 is linked from its static
# archive, which liblz4-dev ships. libxxhash stays shared (auditwheel copies it
# into the wheel): Debian's libxxhash.a lacks the run-time CPU dispatch
# (XXH3_64bits_dispatch and friends) that the codec's hashing uses.
if(VAKRA_STATIC_RUNTIME AND NOT VAKRA_MISSING_DEPENDENCY)
  find_library(VAKRA_LZ4_ARCHIVE NAMES liblz4.a HINTS ${VAKRA_LZ4_LIBRARY_DIRS})
  if(VAKRA_LZ4_ARCHIVE)
    set_property(TARGET PkgConfig::VAKRA_LZ4 PROPERTY INTERFACE_LINK_LIBRARIES ${VAKRA_LZ4_ARCHIVE})
  else()
    set(VAKRA_MISSING_DEPENDENCY "VAKRA_STATIC_RUNTIME needs liblz4.a, which liblz4-dev ships")
  endif()
endif()
