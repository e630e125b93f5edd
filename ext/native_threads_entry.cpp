// set_num_threads and get_num_threads: how many threads the codec may use for
// one large body; and the VAKRA_NUM_THREADS setting, read once at import.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "errors.hpp"
#include "native_entry_points.hpp"
#include "vakra/threads.hpp"

namespace vakra::ext {
namespace {

// More threads than this is a mistake, not a machine: refused rather than
// starting thousands of workers.
constexpr int64_t kMaxThreads = 1024;

// The thread count a VAKRA_NUM_THREADS value asks for; 0 when it does not
// name a count in range (the default then stands).
size_t parse_thread_count(const char* text) {
  if (text == nullptr || *text == '\0') return 0;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  if (*end != '\0' || value < 1 || value > kMaxThreads) return 0;
  return static_cast<size_t>(value);
}

}  // namespace

void apply_thread_environment() {
  if (const size_t count = parse_thread_count(std::getenv("VAKRA_NUM_THREADS"))) set_num_threads(count);
}

PyObject* set_num_threads_entry(PyObject*, PyObject* count) {
  return guarded_call([&]() -> PyObject* {
    if (!PyLong_Check(count) || PyBool_Check(count)) return raise(PyExc_TypeError, "the thread count must be an int");
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(count, &overflow);
    if (value == -1 && PyErr_Occurred()) return nullptr;
    // 0 restores the default, the machine's hardware thread count.
    if (overflow != 0 || value < 0 || value > kMaxThreads) {
      return raise(PyExc_ValueError, "the thread count must be between 0 and " + std::to_string(kMaxThreads));
    }
    set_num_threads(static_cast<size_t>(value));
    Py_RETURN_NONE;
  });
}

PyObject* get_num_threads_entry(PyObject*, PyObject*) {
  return guarded_call([]() -> PyObject* { return PyLong_FromSize_t(num_threads()); });
}

}  // namespace vakra::ext
