// _native.string_items: the items of a string tensor as a list of str (or
// bytes) in one C loop, for StringTensor.tolist() and iteration.
#include <cstring>

#include "arguments.hpp"
#include "buffer_view.hpp"
#include "errors.hpp"
#include "native_entry_points.hpp"
#include "pyref.hpp"
#include "signature.hpp"

namespace vakra::ext {
namespace {

const Signature kStringItems("string_items", arg("offsets", as_object), arg("payload", to_bytes),
                              arg("as_str", to_bool));

uint64_t offset_at(const uint8_t* table, size_t i) {
  uint64_t value;
  std::memcpy(&value, table + 8 * i, sizeof value);  // the table need not be aligned; native order
  return value;
}

}  // namespace

PyObject* native_string_items(PyObject*, PyObject* args, PyObject* kwargs) {
  return kStringItems.call(args, kwargs, [](PyObject* offsets, ByteView payload, bool as_str) -> PyObject* {
    BufferView table;
    if (!table.acquire_any_contiguous(offsets)) return nullptr;
    if (table.size() < 8 || table.size() % 8 != 0) {
      return raise(PyExc_ValueError, "offsets must hold at least one 8-byte offset");
    }
    const size_t count = table.size() / 8 - 1;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(count)));
    if (!list) return nullptr;
    const auto* text = reinterpret_cast<const char*>(payload.data());
    uint64_t start = offset_at(table.data(), 0);
    for (size_t i = 0; i < count; ++i) {
      const uint64_t end = offset_at(table.data(), i + 1);
      if (end < start || end > payload.size()) return raise(PyExc_ValueError, "offsets do not fit the payload");
      const auto length = static_cast<Py_ssize_t>(end - start);
      PyObject* item = as_str ? PyUnicode_DecodeUTF8(text + start, length, "strict")
                              : PyBytes_FromStringAndSize(text + start, length);
      if (item == nullptr) return nullptr;  // UnicodeDecodeError for an item that is not UTF-8
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);
      start = end;
    }
    return list.release();
  });
}

}  // namespace vakra::ext
