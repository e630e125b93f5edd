// Every public header starts here: the codec's interface is C++20 (std::span
// throughout), so a compiler in an older mode stops at one clear message
// instead of dozens about std::span.
#pragma once

#if defined(_MSVC_LANG)  // MSVC reports its language mode here; __cplusplus only with /Zc:__cplusplus
#define VAKRA_LANGUAGE_VERSION _MSVC_LANG
#else
#define VAKRA_LANGUAGE_VERSION __cplusplus
#endif

#if VAKRA_LANGUAGE_VERSION < 202002L
#error "vakra's C++ headers need C++20: compile with -std=c++20 (MSVC: /std:c++20); CMake targets that link vakra::vakra get it"
// GCC and Clang carry on after #error; a missing include ends the compilation here.
#include "vakra: compile with -std=c++20"
#endif
