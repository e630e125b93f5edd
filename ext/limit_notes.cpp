#include "limit_notes.hpp"

#include <string>
#include <string_view>

#include "pyref.hpp"
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

// Adds the note to the pending exception; a failure to build it leaves the
// exception as it was.
void add_note(const std::vector<PyObject*>& keys, const std::string& limit) {
  PyRef type, value, traceback;
  PyErr_Fetch(type.out(), value.out(), traceback.out());
  PyErr_NormalizeException(type.inout(), value.inout(), traceback.inout());
  const std::string note = "vakra: the value at " + path_text(keys) + " is over a limit of the format: " + limit;
  PyRef text = PyRef::steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
  PyRef added = PyRef::steal(text ? PyObject_CallMethod(value.get(), "add_note", "O", text.get()) : nullptr);
  if (!added) PyErr_Clear();
  PyErr_Restore(type.release(), value.release(), traceback.release());
}

}  // namespace

void note_limit(const std::vector<PyObject*>& keys, const std::string& limit) {
  if (keys.empty() || !PyErr_ExceptionMatches(PyExc_ValueError)) return;
  if (!limit.empty()) return add_note(keys, limit);
  PyRef type, value, traceback;
  PyErr_Fetch(type.out(), value.out(), traceback.out());
  PyErr_NormalizeException(type.inout(), value.inout(), traceback.inout());
  PyRef text = PyRef::steal(value ? PyObject_Str(value.get()) : nullptr);
  Py_ssize_t size = 0;
  const char* message = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
  if (message == nullptr) PyErr_Clear();
  const std::string named = message != nullptr ? limit_of({message, static_cast<size_t>(size)}) : std::string();
  PyErr_Restore(type.release(), value.release(), traceback.release());
  if (!named.empty()) add_note(keys, named);
}

std::string child_length_limit(size_t size) {
  return "a packet inside a dict is shorter than 4 GiB (its length travels as a u32); this one is " +
         std::to_string(size) + " bytes";
}

}  // namespace vakra::ext
