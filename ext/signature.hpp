// One declarative description per entry point, in the spirit of CPython's
// Argument Clinic: its name and, in order, each parameter's name, conversion
// and (for optional ones) default. One shared parser matches positional and
// keyword arguments against it, produces every TypeError text of the
// interpreter's wording, converts in parameter order and hands the body the
// converted values:
//
//   const Signature kDumps("dumps_rs", arg("array", as_object), arg("check_integrity", to_bool, false), ...);
//   PyObject* dumps_rs(PyObject*, PyObject* args, PyObject* kwargs) {
//     return kDumps.call(args, kwargs, [](PyObject* array, bool check_integrity, ...) -> PyObject* {...});
//   }
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>

#include "errors.hpp"
#include "pyref.hpp"
#include "python_api.hpp"

namespace vakra::ext {

// One parameter: positional-or-keyword, converted by `convert`. A required
// one has no default; an optional one takes `fallback` when absent (an
// explicit None is converted like any other value). Optional values are plain
// values (bool, int, double, a borrowed object).
template <class T>
struct Param {
  const char* name;
  bool (*convert)(PyObject*, T&);
  bool required;
  T fallback;
};

template <class T>
Param<T> arg(const char* name, bool (*convert)(PyObject*, T&)) {
  return {name, convert, true, T{}};
}
template <class T, class D>
Param<T> arg(const char* name, bool (*convert)(PyObject*, T&), D fallback) {
  return {name, convert, false, static_cast<T>(fallback)};
}

// The object itself, borrowed for the call.
inline bool as_object(PyObject* object, PyObject*& out) {
  out = object;
  return true;
}

// What the shared parser needs to know of a description.
struct ParamNames {
  const char* function;                  // "dumps_rs"
  std::span<const char* const> params;   // in order, required ones first
  size_t required;
};

// Assigns positional and keyword arguments to `slots` (one per parameter,
// borrowed, nullptr when absent). Produces the interpreter-style TypeErrors.
bool match_arguments(const ParamNames& names, PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

// Rewrites a pending TypeError as "argument '<name>': <message>", keeping its
// cause; other exceptions are left alone.
void prefix_argument_error(const char* name);

template <class... T>
class Signature {
 public:
  explicit Signature(const char* name, Param<T>... params)
      : name_(name), names_{params.name...}, required_((0 + ... + (params.required ? 1 : 0))),
        params_(std::move(params)...) {}
  Signature(const Signature&) = delete;
  Signature& operator=(const Signature&) = delete;

  // Runs `body(values...)` on the converted arguments under guarded_call;
  // nullptr with an exception set when matching or a conversion fails.
  template <class Body>
  PyObject* call(PyObject* args, PyObject* kwargs, Body&& body) const noexcept {
    return guarded_call([&]() -> PyObject* {
      std::array<PyObject*, sizeof...(T)> slots{};
      if (!match_arguments({name_, names_, required_}, args, kwargs, slots)) return nullptr;
      return converted(slots, body);
    });
  }

  // The same for a METH_FASTCALL | METH_KEYWORDS entry point (hot paths: no
  // argument tuple per call). Positional arguments alone are taken from the
  // vector; keywords, and the error texts, go through the matcher above.
  template <class Body>
  PyObject* call_vector(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body&& body) const noexcept {
    if (kwnames != nullptr || nargs < static_cast<Py_ssize_t>(required_) ||
        nargs > static_cast<Py_ssize_t>(sizeof...(T))) {
      return call_matched(args, nargs, kwnames, body);
    }
    return guarded_call([&]() -> PyObject* {
      std::array<PyObject*, sizeof...(T)> slots{};
      std::copy(args, args + nargs, slots.begin());
      return converted(slots, body);
    });
  }

 private:
  template <class Body>
  PyObject* converted(const std::array<PyObject*, sizeof...(T)>& slots, Body& body) const {
    std::tuple<T...> values;
    if (!convert_all(slots, values, std::index_sequence_for<T...>{})) return nullptr;
    return std::apply(body, values);
  }

  // A vector call with keywords (or a wrong count) as a tuple and a dict, for match_arguments.
  template <class Body>
  PyObject* call_matched(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Body& body) const noexcept {
    PyRef tuple = PyRef::steal(PyTuple_New(nargs));
    PyRef keywords = PyRef::steal(kwnames != nullptr ? PyDict_New() : nullptr);
    if (!tuple || (kwnames != nullptr && !keywords)) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) {
      Py_INCREF(args[i]);
      PyTuple_SetItem(tuple.get(), i, args[i]);
    }
    const Py_ssize_t count = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
      if (PyDict_SetItem(keywords.get(), PyTuple_GetItem(kwnames, i), args[nargs + i]) != 0) return nullptr;
    }
    return call(tuple.get(), keywords.get(), body);
  }

  template <size_t... I>
  bool convert_all(const std::array<PyObject*, sizeof...(T)>& slots, std::tuple<T...>& values,
                   std::index_sequence<I...>) const {
    return (convert_one(std::get<I>(params_), slots[I], std::get<I>(values)) && ...);
  }

  template <class U>
  static bool convert_one(const Param<U>& param, PyObject* slot, U& out) {
    if (slot == nullptr) {  // only optional parameters are still absent after matching
      if constexpr (std::is_trivially_copyable_v<U>) out = param.fallback;  // optional values are plain ones
      return true;
    }
    if (param.convert(slot, out)) return true;
    prefix_argument_error(param.name);
    return false;
  }

  const char* name_;
  std::array<const char*, sizeof...(T)> names_;
  size_t required_;
  std::tuple<Param<T>...> params_;
};

}  // namespace vakra::ext
