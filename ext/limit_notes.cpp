#include "limit_notes.hpp"

#include <string>
#include <string_view>

#include "pyref.hpp"
#include "vakra/dtype.hpp"
#include "vakra/error.hpp"

namespace vakra::ext {
namespace {

// The bound each limit error stands for, or empty for errors that are not limits.
std::string limit_of(std::string_view message) {
  if (message == error_message(make_error(ErrorKind::TooManyElements))) {
    return "an array holds at most 1,000,000,000 elements";
  }
  if (message == error_message(make_error(ErrorKind::TooManyDimensions))) return "an array has at most 32 dimensions";
  if (message.starts_with("Bundle has ")) return "a dict holds at most 255 entries";
  if (message.starts_with("Nesting too deep")) return "values nest at most 64 levels deep";
  return {};
}

// ['a']['b'] for the keys, outermost first; each key as repr() shows it.
std::string path_text(const std::vector<PyObject*>& keys) {
  std::string path;
  for (auto key = keys.rbegin(); key != keys.rend(); ++key) {
    PyRef shown = PyRef::steal(PyObject_Repr(*key));
    Py_ssize_t size = 0;
    const char* text = shown ? PyUnicode_AsUTF8AndSize(shown.get(), &size) : nullptr;
    if (text == nullptr) {
      PyErr_Clear();
      path += "[?]";
      continue;
    }
    path += '[';
    path.append(text, static_cast<size_t>(size));
    path += ']';
  }
  return path;
}

// The pending exception's text; empty when it has none to give.
std::string pending_text() {
  PyRef type, value, traceback;
  PyErr_Fetch(type.out(), value.out(), traceback.out());
  PyErr_NormalizeException(type.inout(), value.inout(), traceback.inout());
  PyRef text = PyRef::steal(value ? PyObject_Str(value.get()) : nullptr);
  Py_ssize_t size = 0;
  const char* message = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (message == nullptr) PyErr_Clear();
  std::string copied = message != nullptr ? std::string(message, static_cast<size_t>(size)) : std::string();
  PyErr_Restore(type.release(), value.release(), traceback.release());
  return copied;
}

// "bool, int8, ...": the names of the element types a dense array may have.
std::string dense_type_names() {
  std::string names;
  for (const DtypeInfo& row : dtype_table()) {
    if (row.role != DtypeRole::Dense) continue;
    if (!names.empty()) names += ", ";
    names += row.name;
  }
  return names;
}

}  // namespace

void note_encode_failure(const std::vector<PyObject*>& keys, const std::string& limit, bool package) {
  const bool value_error = PyErr_ExceptionMatches(PyExc_ValueError) != 0;
  if (!value_error && !(package && PyErr_ExceptionMatches(PyExc_TypeError))) return;
  const std::string message = pending_text();
  const std::string bound = !limit.empty() ? limit : value_error ? limit_of(message) : std::string();
  if (!keys.empty() && !bound.empty()) {
    add_note("vakra: the value at " + path_text(keys) + " is over a limit of the format: " + bound);
  } else if (!keys.empty() && package) {
    add_note("vakra: the value at " + path_text(keys) + " cannot be encoded");
  }
  if (!package || !value_error) return;
  if (message.starts_with("Unsupported dtype: ")) {
    add_note("vakra: arrays of these element types encode: " + dense_type_names());
  } else if (keys.empty() && message.starts_with("Bundle has ")) {
    add_note("vakra: a packet holds a dict of at most 255 entries; vakra.save writes any number of named values "
             "to a model file (read back with vakra.open or vakra.load_file)");
  }
}

std::string child_length_limit(size_t size) {
  return "a packet inside a dict is shorter than 4 GiB (its length travels as a u32); this one is " +
         std::to_string(size) + " bytes";
}

}  // namespace vakra::ext
