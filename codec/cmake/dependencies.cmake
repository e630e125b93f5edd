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
