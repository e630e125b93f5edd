# cmake --install: both libraries, the public headers, the CMake package
# (vakraConfig.cmake, its version file and the exported targets), vakra.pc
# and vakra-static.pc.
include(CMakePackageConfigHelpers)
set(vakra_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/vakra)
set(vakra_pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

install(TARGETS vakra_codec vakra_codec_shared EXPORT vakraTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime)
# Only the public headers: private helpers are named *_internal.hpp and stay out.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/vakra DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT Development
        FILES_MATCHING PATTERN "*.hpp" PATTERN "*_internal.hpp" EXCLUDE)
install(EXPORT vakraTargets NAMESPACE vakra:: DESTINATION ${vakra_cmake_dir} COMPONENT Development)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/vakraConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/vakraConfig.cmake INSTALL_DESTINATION ${vakra_cmake_dir})
# 0.x releases change the API between minor versions.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/vakraConfigVersion.cmake
                                 VERSION ${PROJECT_VERSION} COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/vakraConfig.cmake ${PROJECT_BINARY_DIR}/vakraConfigVersion.cmake
        DESTINATION ${vakra_cmake_dir} COMPONENT Development)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/dependencies.cmake RENAME vakraDependencies.cmake
        DESTINATION ${vakra_cmake_dir} COMPONENT Development)

# vakra.pc links the shared library and records its directory as the
# program's rpath, so it is found at run time from any prefix. pkg-config
# cannot make one module link libvakra.a instead (`--static` only adds the
# private dependencies, and -lvakra still finds libvakra.so first), so the
# static library has a module of its own, vakra-static.pc, naming the archive.
# Both find the prefix from their own location, so the installed tree can be
# moved and `cmake --install --prefix` works after configuring.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  message(FATAL_ERROR "vakra.pc needs CMAKE_INSTALL_LIBDIR and CMAKE_INSTALL_INCLUDEDIR relative to the prefix")
endif()
file(RELATIVE_PATH VAKRA_PC_PREFIX_FROM_PCDIR "/${vakra_pkgconfig_dir}" "/")
string(REGEX REPLACE "/$" "" VAKRA_PC_PREFIX_FROM_PCDIR "${VAKRA_PC_PREFIX_FROM_PCDIR}")
foreach(module vakra vakra-static)
  configure_file(${CMAKE_CURRENT_LIST_DIR}/${module}.pc.in ${PROJECT_BINARY_DIR}/${module}.pc @ONLY)
  install(FILES ${PROJECT_BINARY_DIR}/${module}.pc DESTINATION ${vakra_pkgconfig_dir} COMPONENT Development)
endforeach()
