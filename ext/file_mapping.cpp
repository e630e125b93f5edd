#include "file_mapping.hpp"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "errors.hpp"
#include "gil_release.hpp"
#include "module_frame.hpp"
#include "process_objects.hpp"
#include "signature.hpp"

namespace vakra::ext {
namespace {

struct FileMappingObject {
  PyObject_HEAD
  void* base;              // what munmap or free takes
  size_t base_length;      // the length munmap takes; 0 for owned memory from malloc
  uint8_t* data;           // the exported bytes, inside base
  Py_ssize_t length;
  bool owned;              // read into memory of its own (freed), rather than mapped
  bool writable;           // owned memory, or a private (copy-on-write) mapping: writes stay in this process
};

FileMappingObject* fields(PyObject* self) { return reinterpret_cast<FileMappingObject*>(self); }

// Closes a descriptor on every path out, unless handed on.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);  // read-only: nothing a failed close could lose
  }
  int get() const { return fd_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

// OSError from errno, naming `path` (nullptr: no file name) as open() does.
Raised raise_os_error(PyObject* path) {
  if (path != nullptr) return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path), Raised{};
  return PyErr_SetFromErrno(PyExc_OSError), Raised{};
}

int file_mapping_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  FileMappingObject* mapping = fields(self);
  return PyBuffer_FillInfo(view, self, mapping->data, mapping->length, mapping->writable ? 0 : 1, flags);
}

void file_mapping_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  // Arrays viewing the memory hold references to this object (through their
  // buffer's owner), so nothing can still be reading it here.
  FileMappingObject* mapping = fields(self);
  if (mapping->owned && mapping->base_length == 0) {
    std::free(mapping->base);
  } else if (mapping->base != nullptr) {
    ::munmap(mapping->base, mapping->base_length);
  }
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

Py_ssize_t file_mapping_length(PyObject* self) { return fields(self)->length; }

const Signature kAdvise("advise", arg("advice", to_c_int), arg("start", to_i64, 0), arg("length", to_i64, -1));

int64_t page_size() {
  static const int64_t page = sysconf(_SC_PAGESIZE);
  return page;
}

// madvise over a range of the mapping (length -1: to its end), widened to
// whole pages as the call requires. Memory read into, rather than mapped,
// takes no advice.
bool advise_range(FileMappingObject* mapping, int advice, int64_t start, int64_t length) {
  if (start < 0 || start > mapping->length) return raise(PyExc_ValueError, "advise start out of range");
  if (mapping->owned) return true;
  const int64_t end = length < 0 || length > mapping->length - start ? mapping->length : start + length;
  const auto from = reinterpret_cast<uintptr_t>(mapping->data + start);
  const uintptr_t first = from - from % static_cast<uintptr_t>(page_size());
  const uintptr_t last = reinterpret_cast<uintptr_t>(mapping->data + end);
  if (last > first && ::madvise(reinterpret_cast<void*>(first), last - first, advice) != 0) return raise_os_error(nullptr);
  return true;
}

PyObject* file_mapping_advise(PyObject* self, PyObject* args, PyObject* kwargs) {
  return kAdvise.call(args, kwargs, [self](int advice, int64_t start, int64_t length) -> PyObject* {
    if (!advise_range(fields(self), advice, start, length)) return nullptr;
    Py_RETURN_NONE;
  });
}

// The share of the mapping's pages that the page cache holds (mincore; past
// 64 MiB an estimate from 256 windows spread over it); memory read into is
// all there (1.0).
PyObject* file_mapping_resident_share(PyObject* self, PyObject*) {
  FileMappingObject* mapping = fields(self);
  if (mapping->owned || mapping->base_length == 0) return PyFloat_FromDouble(1.0);
  const auto page = static_cast<size_t>(page_size());
  // mincore takes about 6 ms a gigabyte here: past kWholeBelow, windows spread
  // evenly over the mapping stand for it (64 MiB of pages looked at).
  constexpr size_t kWholeBelow = size_t{64} << 20, kWindows = 256, kWindowBytes = size_t{256} << 10;
  const bool sampled = mapping->base_length > kWholeBelow;
  const size_t window = sampled ? kWindowBytes : mapping->base_length;
  const size_t windows = sampled ? kWindows : 1;
  const size_t stride = sampled ? (mapping->base_length - window) / (windows - 1) / page * page : 0;
  std::vector<unsigned char> pages((window + page - 1) / page);
  size_t held = 0;
  for (size_t index = 0; index < windows; ++index) {
    auto* start = static_cast<uint8_t*>(mapping->base) + index * stride;
    if (::mincore(start, window, pages.data()) != 0) return raise_os_error(nullptr);
    held += static_cast<size_t>(std::count_if(pages.begin(), pages.end(), [](unsigned char flags) { return (flags & 1) != 0; }));
  }
  return PyFloat_FromDouble(static_cast<double>(held) / static_cast<double>(pages.size() * windows));
}

PyMethodDef kMethods[] = {
    {"advise", with_keywords(file_mapping_advise), METH_VARARGS | METH_KEYWORDS,
     "advise(advice, start=0, length=-1)\n--\n\nmadvise() over a range of the mapping (mmap.MADV_* values)."},
    {"resident_share", file_mapping_resident_share, METH_NOARGS,
     "resident_share()\n--\n\nThe share of the mapping's pages that the page cache holds (mincore; past 64 MiB "
     "estimated from 256 windows spread over it)."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(file_mapping_dealloc)},
    {Py_bf_getbuffer, reinterpret_cast<void*>(file_mapping_getbuffer)},
    {Py_sq_length, reinterpret_cast<void*>(file_mapping_length)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("A whole file mapped into memory, holding no descriptor; unmapped when the last "
                                  "object viewing it goes.")},
    {0, nullptr},
};
PyType_Spec kSpec = {"vakra._native.FileMapping", sizeof(FileMappingObject), 0, Py_TPFLAGS_DEFAULT, kSlots};

// A new FileMapping with nothing in it yet (freed as such on failure).
PyRef new_file_mapping() {
  auto* type = reinterpret_cast<PyTypeObject*>(process_objects().file_mapping_type.get());
  return PyRef::steal(PyType_GenericAlloc(type, 0));
}

// A FileMapping of the regular file behind `fd` from `start` to its `size`
// (start < size), mapped whole; `advice` (or -1) applies to all of it.
PyObject* map_descriptor(int fd, uint64_t start, uint64_t size, bool writable, int advice, PyObject* path) {
  if (size > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return raise(PyExc_OverflowError, "file too large to map");
  PyRef object = new_file_mapping();
  if (!object) return nullptr;
  // As mmap.ACCESS_READ and mmap.ACCESS_COPY map files.
  const int protection = writable ? PROT_READ | PROT_WRITE : PROT_READ;
  void* address = ::mmap(nullptr, size, protection, writable ? MAP_PRIVATE : MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) return raise_os_error(path);
  FileMappingObject* mapping = fields(object.get());
  mapping->base = address;
  mapping->base_length = size;
  mapping->data = static_cast<uint8_t*>(address) + start;
  mapping->length = static_cast<Py_ssize_t>(size - start);
  mapping->writable = writable;
  if (advice >= 0 && !advise_range(mapping, advice, 0, -1)) return nullptr;
  return object.release();
}

// pread()s up to `size` bytes from `offset` into `out`; the count read (short
// only when the file shrank meanwhile), or -1 with an exception set.
int64_t read_whole(int fd, uint8_t* out, uint64_t offset, uint64_t size, PyObject* path) {
  uint64_t got = 0;
  int error = 0;
  {
    GilReleased unlocked(worth_releasing(size));
    while (got < size) {
      const ssize_t n = ::pread(fd, out + got, size - got, static_cast<off_t>(offset + got));
      if (n > 0) {
        got += static_cast<uint64_t>(n);
      } else if (n == 0) {
        break;
      } else if (errno != EINTR) {
        error = errno;
        break;
      } else if (!unlocked.check_signals()) {
        return -1;
      }
    }
  }
  if (error == 0) return static_cast<int64_t>(got);
  errno = error;
  return raise_os_error(path), -1;
}

// Owned memory of this size or more comes from an anonymous mapping that
// asks for transparent huge pages: filling fresh memory costs a page fault
// per page, and a 2 MiB page takes one where 4 KiB pages take 512 (an
// 838 MiB file read by two threads: 120 ms against 240 ms from malloc).
constexpr uint64_t kHugePageBytes = uint64_t{2} << 20;

// `bytes` of fresh memory starting on a huge-page boundary, with huge pages
// asked for; the tail past the last whole huge page stays in small pages, so
// nothing is rounded up. nullptr where the mapping fails.
void* map_huge_page_aligned(uint64_t bytes, size_t& mapped_length) {
  const auto page = static_cast<uint64_t>(page_size());
  const uint64_t length = (bytes + page - 1) / page * page;
  void* reserved = ::mmap(nullptr, length + kHugePageBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (reserved == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<uintptr_t>(reserved);
  const uintptr_t aligned = (start + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes;
  if (aligned > start) ::munmap(reserved, aligned - start);
  const uintptr_t end = start + length + kHugePageBytes;
  if (end > aligned + length) ::munmap(reinterpret_cast<void*>(aligned + length), end - aligned - length);
#ifdef MADV_HUGEPAGE
  ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);  // advice only: small pages work too
#endif
  mapped_length = length;
  return reinterpret_cast<void*>(aligned);
}

// Memory of its own for `mapping`: `bytes` from a page boundary, released
// with the mapping. Below a huge page, malloc and align by hand: an aligned
// allocation asks for more than the allocator's adaptive threshold, so it
// would be mapped and unmapped anew on every load; plain malloc reuses its
// heap. nullptr with MemoryError set.
uint8_t* own_page_aligned(FileMappingObject* mapping, uint64_t bytes, bool writable) {
  mapping->owned = true;
  mapping->writable = writable;
  if (bytes >= kHugePageBytes) {
    size_t mapped_length = 0;
    void* memory = map_huge_page_aligned(bytes, mapped_length);
    if (memory == nullptr) return PyErr_NoMemory(), nullptr;
    mapping->base = memory;
    mapping->base_length = mapped_length;
    return static_cast<uint8_t*>(memory);
  }
  const auto page = static_cast<uintptr_t>(page_size());
  void* memory = std::malloc(bytes + page);
  if (memory == nullptr) return PyErr_NoMemory(), nullptr;
  mapping->base = memory;
  mapping->base_length = 0;
  return reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(memory) + page - 1) / page * page);
}

// A FileMapping of the file's bytes from `start` to `size`, read into
// page-aligned memory of its own from the page that holds `start`: every byte
// lies at the same offset within its page as in a mapping of the file, so
// arrays are aligned as they would be there.
PyObject* read_descriptor(int fd, uint64_t start, uint64_t size, bool writable, PyObject* path) {
  const uint64_t skip = start % static_cast<uint64_t>(page_size());
  const uint64_t length = size - start + skip;
  if (length > static_cast<uint64_t>(PY_SSIZE_T_MAX)) return raise(PyExc_OverflowError, "file too large to read");
  PyRef object = new_file_mapping();
  if (!object) return nullptr;
  FileMappingObject* mapping = fields(object.get());
  uint8_t* aligned = own_page_aligned(mapping, length, writable);
  if (aligned == nullptr) return nullptr;
  const int64_t got = read_whole(fd, aligned, start - skip, length, path);
  if (got < 0) return nullptr;
  mapping->data = aligned + std::min<uint64_t>(skip, got);
  mapping->length = static_cast<Py_ssize_t>(static_cast<uint64_t>(got) - std::min<uint64_t>(skip, got));
  return object.release();
}

// The bytes of the regular file behind `fd` from `start` on: read when fewer
// than `read_below`, else mapped.
PyObject* file_bytes(int fd, uint64_t start, uint64_t size, bool writable, uint64_t read_below, int advice,
                     PyObject* path) {
  if (start > size) start = size;
  if (size - start < read_below || size == 0) return read_descriptor(fd, start, size, writable, path);
  return map_descriptor(fd, start, size, writable, advice, path);
}

// open(2) without the GIL (a FIFO blocks until a writer comes), running the
// interpreter's signal handlers when a signal interrupts it. -1 with an exception set.
int open_read_only(const char* path, PyObject* path_object) {
  int fd;
  {
    GilReleased unlocked;
    do {
      fd = ::open(path, O_RDONLY | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR && unlocked.check_signals());
  }
  if (fd < 0 && !PyErr_Occurred()) raise_os_error(path_object);
  return fd;
}

const Signature kOpenFile("open_file", arg("path", as_object), arg("writable", to_bool, false),
                          arg("read_below", to_u64, 0), arg("advice", to_c_int, -1));
const Signature kMapFile("map_file", arg("fd", to_c_int), arg("writable", to_bool, false), arg("read_below", to_u64, 0),
                         arg("advice", to_c_int, -1), arg("start", to_u64, 0));

}  // namespace

PyRef make_file_mapping_type() { return PyRef::steal(PyType_FromSpec(&kSpec)); }

PyObject* new_owned_file_bytes(uint64_t offset, uint64_t length, bool writable, uint8_t** data) {
  const auto page = static_cast<uint64_t>(page_size());
  const uint64_t skip = offset % page;
  if (length > static_cast<uint64_t>(PY_SSIZE_T_MAX) - skip - page) {
    return raise(PyExc_OverflowError, "range too large to read");
  }
  process_objects();
  PyRef object = new_file_mapping();
  if (!object) return nullptr;
  FileMappingObject* mapping = fields(object.get());
  uint8_t* aligned = own_page_aligned(mapping, length + skip, writable);
  if (aligned == nullptr) return nullptr;
  mapping->data = aligned + skip;
  mapping->length = static_cast<Py_ssize_t>(length);
  *data = mapping->data;
  return object.release();
}

PyObject* native_open_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return kOpenFile.call(args, kwargs, [](PyObject* path, bool writable, uint64_t read_below, int advice) -> PyObject* {
    process_objects();  // the FileMapping type exists before anything is opened
    PyRef encoded;
    if (PyUnicode_FSConverter(path, encoded.out()) == 0) return nullptr;
    Descriptor fd(open_read_only(PyBytes_AsString(encoded.get()), path));
    if (fd.get() < 0) return nullptr;
    struct stat status;
    if (::fstat(fd.get(), &status) != 0) return raise_os_error(path);
    if (!S_ISREG(status.st_mode)) return PyLong_FromLong(fd.release());
    return file_bytes(fd.get(), 0, static_cast<uint64_t>(status.st_size), writable, read_below, advice, path);
  });
}

PyObject* native_map_file(PyObject*, PyObject* args, PyObject* kwargs) {
  return kMapFile.call(args, kwargs, [](int fd, bool writable, uint64_t read_below, int advice, uint64_t start) -> PyObject* {
    process_objects();
    struct stat status;
    if (::fstat(fd, &status) != 0) return raise_os_error(nullptr);
    if (!S_ISREG(status.st_mode)) return raise(PyExc_ValueError, "only a regular file can be mapped");
    return file_bytes(fd, start, static_cast<uint64_t>(status.st_size), writable, read_below, advice, nullptr);
  });
}

}  // namespace vakra::ext
