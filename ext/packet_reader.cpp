// vakra._native.PacketReader(fd, read_into, read_ahead, max_size=None,
// writable=False): the packets of a stream, one per call of next() (decoded)
// or next_bytes() (a read-only memoryview of the packet's bytes). The limit
// and the kind of arrays are given once, so a call takes no arguments.
//
// Bytes come from `fd` with read(2) when it is a descriptor the reader may
// use directly (-1 otherwise), and from `read_into(memoryview) -> int | None`
// when the descriptor would block (a socket's timeout applies there) or there
// is none. They land in memory that is never written again once a packet in
// it has been handed out, so decoded arrays view it: small packets share an
// arena; a packet that outgrows it gets memory of its own, an anonymous
// mapping that doubles in place (no copy) when the bytes that actually
// arrived fill it, and is cut to the packet's length at the end, so a header declaring gigabytes allocates only
// what was received. Measuring resumes where the last step stopped
// (PacketMeter), so a packet trickling in is walked once.
//
// With `read_ahead` (vakra.Receiver) a read takes whatever the stream holds,
// up to the arena's end, and the bytes past a packet are kept for the next
// call: one read per packet when they are there. Without it (load, recv) a
// read never goes past what the packet needs, so the stream is left at the
// next packet. Either way an error that stops a read (a timeout,
// BlockingIOError, a signal handler's exception) leaves every byte read so
// far with the reader: the next call continues. A packet read whole is
// consumed even when it fails to decode; max_size and a packet cut short
// consume nothing.
#include "packet_reader.hpp"

#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "arguments.hpp"
#include "buffer_view.hpp"
#include "decode_to_python.hpp"
#include "descriptor_read.hpp"
#include "errors.hpp"
#include "module_frame.hpp"
#include "signature.hpp"
#include "vakra/walk.hpp"

namespace vakra::ext {
namespace {

// Small packets share memory of this size; larger ones grow memory of their own from it.
constexpr size_t kArenaSize = size_t{64} << 10;

Raised raise_blocking() {
  PyRef error = PyRef::steal(PyObject_CallFunction(PyExc_BlockingIOError, "is", EAGAIN, "the stream has no data ready"));
  if (error) PyErr_SetObject(PyExc_BlockingIOError, error.get());
  return Raised{};
}

// A new anonymous private mapping of `size` bytes: Python's mmap, which
// resizes in place (mremap) and unmaps when the last view of it goes.
PyRef new_mapping(size_t size) {
  PyRef module = PyRef::steal(PyImport_ImportModule("mmap"));
  if (!module) return module;
  PyRef mmap_type = PyRef::steal(PyObject_GetAttrString(module.get(), "mmap"));
  PyRef private_flag = PyRef::steal(PyObject_GetAttrString(module.get(), "MAP_PRIVATE"));
  if (!mmap_type || !private_flag) return PyRef();
  PyRef args = PyRef::steal(Py_BuildValue("(in)", -1, static_cast<Py_ssize_t>(size)));
  PyRef kwargs = PyRef::steal(Py_BuildValue("{sO}", "flags", private_flag.get()));
  if (!args || !kwargs) return PyRef();
  PyRef mapping = PyRef::steal(PyObject_Call(mmap_type.get(), args.get(), kwargs.get()));
  if (!mapping) return mapping;
  // Fewer page faults while a large packet fills it; advice is only advice.
  PyRef huge = PyRef::steal(PyObject_GetAttrString(module.get(), "MADV_HUGEPAGE"));
  if (huge) {
    PyRef advised = PyRef::steal(PyObject_CallMethod(mapping.get(), "madvise", "O", huge.get()));
  }
  PyErr_Clear();
  return mapping;
}

// memoryview(memory)[start:stop], made read-only when asked.
PyRef view_of(PyObject* memory, size_t start, size_t stop, bool read_only) {
  PyRef whole = PyRef::steal(PyMemoryView_FromObject(memory));
  if (!whole) return whole;
  if (read_only) {
    whole = PyRef::steal(PyObject_CallMethod(whole.get(), "toreadonly", nullptr));
    if (!whole) return whole;
  }
  return PyRef::steal(PySequence_GetSlice(whole.get(), static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(stop)));
}

// A packet the reader has taken: its bytes lie at [offset, offset + length)
// of `memory`, which starts at `base` when the reader holds its export (an
// arena: never resized, so the address holds while `memory` lives).
struct TakenPacket {
  PyRef memory;
  size_t offset = 0;
  size_t length = 0;
  const uint8_t* base = nullptr;
};

class PacketReader {
 public:
  PacketReader(int fd, PyObject* read_into, bool read_ahead, int64_t max_size, bool writable)
      : fd_(fd), socket_(is_socket(fd)), read_into_(PyRef::borrow(read_into == Py_None ? nullptr : read_into)),
        read_ahead_(read_ahead), max_size_(max_size), writable_(writable) {}

  PyObject* next() {
    TakenPacket packet;
    if (!take(packet)) return nullptr;
    if (writable_) return decode(packet, packet.memory.get(), false, true);
    PyRef view = readonly_view(packet);
    return view ? decode(packet, view.get(), true, false) : nullptr;
  }

  PyObject* next_bytes() {
    TakenPacket packet;
    if (!take(packet)) return nullptr;
    return view_of(packet.memory.get(), packet.offset, packet.offset + packet.length, true).release();
  }

  size_t buffered() const { return end_ - start_; }
  bool ended() const { return ended_; }

  int traverse(visitproc visit, void* arg) const {
    Py_VISIT(read_into_.get());
    Py_VISIT(memory_.get());
    Py_VISIT(readonly_.get());
    return 0;
  }
  void clear() {
    read_into_ = PyRef();
    release_arena();
    memory_ = PyRef();
    readonly_ = PyRef();
    capacity_ = start_ = end_ = 0;
  }

 private:
  // Reads until the pending bytes hold a whole packet and takes it. False
  // with an exception set; every byte read stays pending.
  bool take(TakenPacket& packet) {
    if (busy_) return raise(PyExc_RuntimeError, "the reader is already reading in another thread");
    struct Busy {
      bool& flag;
      explicit Busy(bool& f) : flag(f) { flag = true; }
      ~Busy() { flag = false; }
    } busy(busy_);
    return take_unguarded(packet);
  }

  bool take_unguarded(TakenPacket& packet) {
    for (;;) {
      PacketExtent extent;
      if (!measure(extent)) return false;
      const size_t have = end_ - start_;
      const size_t total = extent.complete ? extent.length : have + extent.length;
      if (total == 0) {  // nothing pending, nothing to check: read whatever comes
        expected_ = 1;
        if (!make_room() || !read_more()) return false;
        continue;
      }
      if (max_size_ < 0 || total > static_cast<uint64_t>(max_size_)) {
        return raise(PyExc_ValueError, "Packet larger than max_size: at least " + std::to_string(total) +
                                           " bytes, max_size " + std::to_string(max_size_));
      }
      if (extent.complete) {
        packet = {PyRef::borrow(memory_.get()), start_, extent.length, arena_held_ ? arena_.data() : nullptr};
        start_ += extent.length;
        meter_ = PacketMeter();
        last_length_ = extent.length;
        // Memory of the packet's own was read no further than the packet: it
        // goes with the packet, cut to its length, and the next one starts afresh.
        if (dedicated_) {
          if (capacity_ > extent.length && !grow(extent.length)) return false;
          forget_memory();
        }
        return true;
      }
      expected_ = total;
      if (!make_room() || !read_more()) return false;
    }
  }

  // The pending packet's extent; {true, 0} when nothing is pending and the
  // reader reads ahead, which needs no first step from the meter.
  bool measure(PacketExtent& extent) {
    if (end_ == start_ && read_ahead_) {
      extent = {true, 0};
      return true;
    }
    BufferView memory;
    ByteView pending;
    if (end_ > start_) {
      if (!exported(memory)) return false;
      pending = (arena_held_ ? arena_ : memory).bytes().subspan(start_, end_ - start_);
    }
    return unwrap(meter_.measure(pending), extent);
  }

  // `memory` takes an export of the reader's memory for the call, unless the
  // reader holds the arena's (arena_held_).
  bool exported(BufferView& memory) const { return arena_held_ || memory.acquire_bytes(memory_.get()); }

  // Makes [end_, window_end()) non-empty: the pending bytes stay where they
  // are while the packet fits, else move to new memory of the right kind.
  bool make_room() {
    const size_t have = end_ - start_;
    if (memory_ && dedicated_) {
      if (end_ < capacity_) return true;
      return grow(2 * capacity_);  // full, and the packet needs more: double what has arrived
    }
    if (memory_ && start_ + expected_ <= capacity_) {
      // Between packets a reader that reads ahead starts a new arena rather
      // than read a piece of the next packet into the end of this one.
      const size_t room = capacity_ - end_;
      if (have > 0 || !read_ahead_ || room >= std::max(last_length_, size_t{1} << 10)) return true;
    }
    if (expected_ <= kArenaSize) {
      PyRef arena = PyRef::steal(PyByteArray_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(kArenaSize)));
      return arena && move_to(std::move(arena), kArenaSize, false);
    }
    const size_t capacity = std::max(kArenaSize, 2 * have);
    PyRef mapping = new_mapping(capacity);
    return mapping && move_to(std::move(mapping), capacity, true);
  }

  // Copies the pending bytes to the start of `memory`, which becomes the reader's.
  bool move_to(PyRef memory, size_t capacity, bool dedicated) {
    const size_t have = end_ - start_;
    if (have > 0) {
      BufferView from;
      BufferView to;
      if (!exported(from) || !to.acquire_bytes(memory.get())) return false;
      if (to.readonly() || to.size() < capacity) throw InternalFailure("reader memory is not writable");
      std::memcpy(to.writable_bytes().data(), (arena_held_ ? arena_ : from).bytes().data() + start_, have);
    }
    release_arena();
    // An arena's export is held for as long as it is the reader's (it is
    // never resized); a mapping must stay free to grow.
    if (!dedicated && !arena_.acquire_bytes(memory.get())) return false;
    arena_held_ = !dedicated;
    memory_ = std::move(memory);
    readonly_ = PyRef();
    capacity_ = capacity;
    start_ = 0;
    end_ = have;
    dedicated_ = dedicated;
    return true;
  }

  // Memory of one packet, resized in place (no copy); nothing views it while it fills.
  bool grow(size_t capacity) {
    PyRef resized = PyRef::steal(PyObject_CallMethod(memory_.get(), "resize", "n", static_cast<Py_ssize_t>(capacity)));
    if (!resized) return false;
    capacity_ = capacity;
    return true;
  }

  void release_arena() {
    arena_.release();
    arena_held_ = false;
  }

  void forget_memory() {
    release_arena();
    memory_ = PyRef();
    readonly_ = PyRef();
    capacity_ = start_ = end_ = 0;
    dedicated_ = false;
  }

  // Where a read may fill up to: the arena's end when reading ahead, else
  // no further than the packet needs.
  size_t window_end() const {
    return read_ahead_ && !dedicated_ ? capacity_ : std::min(capacity_, start_ + expected_);
  }

  bool read_more() {
    const size_t stop = window_end();
    if (fd_ >= 0) {
      BufferView memory;
      if (!exported(memory)) return false;
      const BufferView& held = arena_held_ ? arena_ : memory;
      if (held.readonly()) throw InternalFailure("reader memory is not writable");
      const MutableBytes window = held.writable_bytes().subspan(end_, stop - end_);
      // One read when reading ahead; the whole window (the packet's rest) otherwise.
      const size_t minimum = read_ahead_ && !dedicated_ ? 1 : window.size();
      if (minimum == 1 && socket_) {
        // What a socket holds already is read without giving up the GIL (a
        // message usually is there when asked for); the blocking read below
        // waits for the rest, or says why there is none.
        const ssize_t ready = ::recv(fd_, window.data(), window.size(), MSG_DONTWAIT);
        if (ready > 0) {
          end_ += static_cast<size_t>(ready);
          return true;
        }
        if (ready == 0) return raise_ended();
      }
      DescriptorRead read;
      {
        GilReleased unlocked;
        read = read_descriptor(fd_, window, minimum, unlocked);
      }
      end_ += read.count;  // kept, also when a signal handler raised
      if (read.error == kSignalRaised) return false;
      if (read.count > 0) return true;
      if (read.ended) return raise_ended();
      if (read.error != 0) {
        raise_read_error(read);
        return false;
      }
      // It would block: the callable waits as its object says (a socket's timeout) or raises.
    }
    return read_through_callable(stop);
  }

  static bool is_socket(int fd) {
    struct stat status{};
    return fd >= 0 && ::fstat(fd, &status) == 0 && S_ISSOCK(status.st_mode);
  }

  bool read_through_callable(size_t stop) {
    if (!read_into_) return raise_blocking();
    PyRef window = view_of(memory_.get(), end_, stop, false);
    if (!window) return false;
    PyRef result = PyRef::steal(PyObject_CallFunctionObjArgs(read_into_.get(), window.get(), nullptr));
    if (!result) return false;
    // Ours is done with; a reader that keeps a view of it keeps the memory alive with it.
    PyRef released = PyRef::steal(PyObject_CallMethod(window.get(), "release", nullptr));
    if (!released) PyErr_Clear();
    if (result.get() == Py_None) return raise_blocking();
    const Py_ssize_t count = PyLong_AsSsize_t(result.get());
    if (count == -1 && PyErr_Occurred()) return false;
    const size_t room = stop - end_;
    if (count < 0 || static_cast<size_t>(count) > room) {
      return raise(PyExc_OSError, "readinto() returned invalid length " + std::to_string(count) +
                                      " (should have been between 0 and " + std::to_string(room) + ")");
    }
    if (count == 0) return raise_ended();
    end_ += static_cast<size_t>(count);
    return true;
  }

  Raised raise_ended() {
    ended_ = true;
    const size_t have = end_ - start_;
    if (have == 0) return raise(PyExc_EOFError, "no packet: the stream ended");
    return raise(PyExc_ValueError, "Packet cut short: expected at least " + std::to_string(expected_) + " bytes, read " +
                                       std::to_string(have));
  }

  // A read-only memoryview of the packet's memory from its start: one for
  // all the packets of an arena; memory of the packet's own (which the
  // reader has let go already) gets its own.
  PyRef readonly_view(const TakenPacket& packet) {
    if (packet.memory.get() != memory_.get()) return view_of(packet.memory.get(), 0, packet.offset + packet.length, true);
    if (!readonly_) readonly_ = view_of(memory_.get(), 0, capacity_, true);
    return PyRef::borrow(readonly_.get());
  }

  // Decodes the packet through `object`, a view of its memory that starts
  // where the memory does. A read-only view of memory the reader never
  // writes again is as good as immutable: arrays view it read-only, and
  // index arrays need no copy.
  static PyObject* decode(const TakenPacket& packet, PyObject* object, bool immutable, bool writable) {
    BufferView memory;
    if (packet.base == nullptr && !memory.acquire_bytes(object)) return nullptr;
    DecodeSource source{object, packet.base != nullptr ? packet.base : memory.data(), immutable};
    source.writable = writable;
    return decode_source_to_object(source, ByteView(source.base + packet.offset, packet.length));
  }

  int fd_;
  bool socket_;
  PyRef read_into_;
  bool read_ahead_;
  int64_t max_size_;
  bool writable_;
  PyRef memory_;    // a bytearray arena, or the mapping of one large packet
  BufferView arena_;         // the arena's export, held while it is memory_ (declared after it: released first)
  bool arena_held_ = false;
  PyRef readonly_;  // a read-only memoryview of the arena, made on first use
  bool dedicated_ = false;
  size_t capacity_ = 0;
  size_t start_ = 0;  // the pending packet's first byte in memory_
  size_t end_ = 0;    // the end of the bytes read
  size_t expected_ = 0;     // the pending packet's length, at least
  size_t last_length_ = 0;  // of the last packet taken
  PacketMeter meter_;
  bool busy_ = false;
  bool ended_ = false;  // a read has met the stream's end
};

struct ReaderObject {
  PyObject_HEAD
  PacketReader* reader;
};

PacketReader& reader_of(PyObject* self) { return *reinterpret_cast<ReaderObject*>(self)->reader; }

const Signature kNew("PacketReader", arg("fd", to_c_int), arg("read_into", as_object), arg("read_ahead", to_bool),
                     arg("max_size", to_size_limit, kNoSizeLimit), arg("writable", to_bool, false));

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kNew.call(args, kwargs, [type](int fd, PyObject* read_into, bool read_ahead, int64_t max_size,
                                        bool writable) -> PyObject* {
    if (read_into != Py_None && PyCallable_Check(read_into) == 0) {
      return raise(PyExc_TypeError, "read_into must be callable or None");
    }
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self = PyRef::steal(alloc(type, 0));
    if (!self) return nullptr;
    reinterpret_cast<ReaderObject*>(self.get())->reader = new PacketReader(fd, read_into, read_ahead, max_size, writable);
    return self.release();
  });
}

PyObject* reader_next(PyObject* self, PyObject*) {
  return guarded_call([self] { return reader_of(self).next(); });
}

PyObject* reader_next_bytes(PyObject* self, PyObject*) {
  return guarded_call([self] { return reader_of(self).next_bytes(); });
}

PyObject* reader_buffered(PyObject* self, PyObject*) { return PyLong_FromSize_t(reader_of(self).buffered()); }
PyObject* reader_ended(PyObject* self, PyObject*) { return PyBool_FromLong(reader_of(self).ended()); }

int reader_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  const PacketReader* reader = reinterpret_cast<ReaderObject*>(self)->reader;
  return reader != nullptr ? reader->traverse(visit, arg) : 0;
}

int reader_clear(PyObject* self) {
  if (PacketReader* reader = reinterpret_cast<ReaderObject*>(self)->reader) reader->clear();
  return 0;
}

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  delete std::exchange(reinterpret_cast<ReaderObject*>(self)->reader, nullptr);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyMethodDef kMethods[] = {
    {"next", reader_next, METH_NOARGS, "next()\n--\n\nThe next packet's value."},
    {"next_bytes", reader_next_bytes, METH_NOARGS, "next_bytes()\n--\n\nThe next packet's bytes, as a read-only memoryview."},
    {"buffered", reader_buffered, METH_NOARGS,
     "buffered()\n--\n\nHow many bytes the reader holds beyond the packets it has handed out."},
    {"ended", reader_ended, METH_NOARGS, "ended()\n--\n\nWhether a read has met the end of the stream."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(reader_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(reader_clear)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("PacketReader(fd, read_into, read_ahead, max_size=None, writable=False)\n--\n\n"
                                  "The packets of a stream, one per call.")},
    {0, nullptr},
};
PyType_Spec kSpec = {"vakra._native.PacketReader", sizeof(ReaderObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                     kSlots};

}  // namespace

PyRef make_packet_reader_type() { return PyRef::steal(PyType_FromSpec(&kSpec)); }

}  // namespace vakra::ext
