# Developer options and the flags every native target of this repository
# builds with. Included once by the outermost vakra project (the repository
# root, or codec/ built on its own); a project that adds codec/ as a
# subdirectory does not include it and keeps its own flags.
option(VAKRA_BUILD_TESTS "Build the C++ unit tests" OFF)
option(VAKRA_SANITIZE "Build everything with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)
option(VAKRA_BUILD_FUZZERS "Build the libFuzzer harnesses (needs clang)" OFF)

# Sanitizer flags live in one interface target that every native target links.
add_library(vakra_build_flags INTERFACE)
# A switch over an enum that misses one of its values is an error: a new
# packet kind or dtype must be handled wherever its enum is switched on.
target_compile_options(vakra_build_flags INTERFACE -Wall -Wextra -Werror=switch)
if(VAKRA_SANITIZE OR VAKRA_BUILD_FUZZERS)
  target_compile_options(vakra_build_flags INTERFACE -fsanitize=address,undefined -fno-sanitize-recover=all
                                                     -fno-omit-frame-pointer)
  target_link_options(vakra_build_flags INTERFACE -fsanitize=address,undefined)
endif()

# enable_testing() must run in the top directory for ctest to find the tests
# that codec/ registers.
if(VAKRA_BUILD_TESTS)
  enable_testing()
endif()
