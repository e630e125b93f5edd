// The one include of Python.h for the extension: always the limited API of
// CPython 3.11, so the module builds as a single abi3 extension.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
