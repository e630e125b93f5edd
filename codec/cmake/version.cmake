# The project's one version is the one in pyproject.toml; the C++ package
# (the CMake project, vakraConfigVersion.cmake, vakra.pc) takes it from there.
# Sets VAKRA_VERSION; included before project().
set(vakra_pyproject ${CMAKE_CURRENT_LIST_DIR}/../../pyproject.toml)
if(NOT EXISTS ${vakra_pyproject})
  message(FATAL_ERROR "${vakra_pyproject} not found: the codec is built from the vakra repository or its sdist")
endif()
file(STRINGS ${vakra_pyproject} vakra_version_line REGEX "^version = \"[0-9]+\\.[0-9]+\\.[0-9]+\"$" LIMIT_COUNT 1)
if(NOT vakra_version_line MATCHES "\"([0-9.]+)\"")
  message(FATAL_ERROR "no version = \"X.Y.Z\" line in ${vakra_pyproject}")
endif()
set(VAKRA_VERSION ${CMAKE_MATCH_1})
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${vakra_pyproject})
