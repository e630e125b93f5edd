#include "model_file_writer.hpp"

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "arguments.hpp"
#include "buffer_view.hpp"
#include "encode_plan.hpp"
#include "errors.hpp"
#include "gil_release.hpp"
#include "limit_notes.hpp"
#include "signature.hpp"
#include "vakra/model_file.hpp"

namespace vakra::ext {
namespace {

// The codec's descriptor output with the interpreter's manners: each write
// runs without the GIL (inside the caller's release, when it has one), and a
// signal that interrupts one runs the handlers; one that raises ends it.
class InterpreterFileOutput final : public DescriptorOutput {
 public:
  using DescriptorOutput::DescriptorOutput;

  Status append(std::span<const ByteView> pieces) override {
    return unlocked([&] { return DescriptorOutput::append(pieces); });
  }
  Status patch(uint64_t offset, ByteView bytes) override {
    return unlocked([&] { return DescriptorOutput::patch(offset, bytes); });
  }

  // The release a caller holds around a codec call (nullptr: none) while it lives.
  struct Within {
    Within(InterpreterFileOutput& output, GilReleased* released) : output(output) { output.released_ = released; }
    ~Within() { output.released_ = nullptr; }
    Within(const Within&) = delete;
    Within& operator=(const Within&) = delete;
    InterpreterFileOutput& output;
  };
  bool interrupted() const { return interrupted_; }

 private:
  template <class Write>
  Status unlocked(Write&& write) {
    if (released_ != nullptr) return write();
    GilReleased released;
    const Within scope(*this, &released);
    return write();
  }

  bool resume_after_signal() override {
    if (released_->check_signals()) return true;
    interrupted_ = true;  // the handler's exception is set
    return false;
  }

  GilReleased* released_ = nullptr;
  bool interrupted_ = false;
};

struct WriterState {
  explicit WriterState(int fd) : output(fd) {}
  InterpreterFileOutput output;
  std::optional<ModelFileWriter> writer;
  EncodeOptions options;
  PyRef names;  // a tuple, for the notes that name an entry
  PyRef convert;
};

struct WriterObject {
  PyObject_HEAD
  WriterState* state;
};

WriterState& state_of(PyObject* self) { return *reinterpret_cast<WriterObject*>(self)->state; }

// A codec call, the GIL released around it when `release`, and the output told so.
template <class Call>
auto run(WriterState& state, bool release, Call&& call) {
  GilReleased released(release);
  const InterpreterFileOutput::Within scope(state.output, release ? &released : nullptr);
  return call();
}

// The keys of the child a slot overflow names, innermost first, after the entry's name.
std::vector<PyRef> overflow_keys(const PacketPlan& plan, const SlotOverflow& overflow) {
  std::vector<PyRef> keys;
  const PacketPlan* node = &plan;
  for (const size_t index : overflow.path) {
    const auto* bundle = node != nullptr ? std::get_if<BundlePlan>(&node->node) : nullptr;
    if (bundle != nullptr) {
      const ByteView key = bundle->entries[index].key;
      keys.push_back(PyRef::steal(PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(key.data()),
                                                       static_cast<Py_ssize_t>(key.size()), "replace")));
      node = &bundle->entries[index].packet;
    } else {
      keys.push_back(PyRef::steal(PyLong_FromSize_t(index)));  // a sparse matrix's component
      node = nullptr;
    }
    if (!keys.back()) PyErr_Clear();
  }
  return keys;
}

// Raises what a refused codec call means: the signal handler's exception
// (set already), OSError from the file, or the codec's ValueError, with a
// note naming a child too long for its slot in `plan`, entry `name`.
Raised raise_refusal(WriterState& state, const CodecError& error, const PacketPlan* plan = nullptr,
                     PyObject* name = nullptr) {
  if (state.output.interrupted()) return Raised{};
  if (error.kind == ErrorKind::WriteFailed) {
    if (error.code == 0) return raise(PyExc_OSError, "the file took no bytes of a write");
    return raise_errno(error.code);
  }
  raise_codec_error(error);
  const std::optional<SlotOverflow>& overflow = state.writer ? state.writer->slot_overflow() : std::nullopt;
  if (plan != nullptr && overflow) {
    const std::vector<PyRef> keys = overflow_keys(*plan, *overflow);
    std::vector<PyObject*> path;
    for (auto key = keys.rbegin(); key != keys.rend(); ++key) path.push_back(key->get() != nullptr ? key->get() : Py_None);
    path.push_back(name);
    note_encode_failure(path, child_length_limit(overflow->length), true);
  }
  return Raised{};
}

// The UTF-8 bytes of a str, valid while it lives; TypeError for anything else.
bool utf8_view(PyObject* text, const char* what, std::string_view& out) {
  if (!PyUnicode_Check(text)) return raise(PyExc_TypeError, std::string(what) + " must be str");
  Py_ssize_t size = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(text, &size);
  if (bytes == nullptr) return false;
  out = {bytes, static_cast<size_t>(size)};
  return true;
}

// The bodies declared up front: a sequence of (entry index, dtype code, shape) in entry order, or None for none.
bool read_bodies(PyObject* declared, std::vector<ModelBody>& bodies) {
  if (declared == Py_None) return true;
  PyRef items = PyRef::steal(PySequence_Tuple(declared));
  if (!items) return false;
  for (Py_ssize_t i = 0; i < PyTuple_Size(items.get()); ++i) {
    PyObject* item = PyTuple_GetItem(items.get(), i);
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 3) return raise(PyExc_TypeError, "bodies are (index, dtype code, shape)");
    uint64_t entry = 0;
    uint8_t code = 0;
    if (!to_u64(PyTuple_GetItem(item, 0), entry) || !to_u8(PyTuple_GetItem(item, 1), code)) return false;
    const Result<Dtype> dtype = dtype_from_code(code);
    if (!dtype.ok()) return raise_codec_error(dtype.error());
    ModelBody& body = bodies.emplace_back(ModelBody{static_cast<size_t>(entry), *dtype, {}});
    PyRef dims = PyRef::steal(PySequence_Tuple(PyTuple_GetItem(item, 2)));
    if (!dims) return false;
    for (Py_ssize_t d = 0; d < PyTuple_Size(dims.get()); ++d) {
      if (!to_u64(PyTuple_GetItem(dims.get(), d), body.shape.emplace_back())) return false;
    }
  }
  return true;
}

bool start(WriterState& state, PyObject* names, PyObject* metadata, PyObject* declared, PyObject* tree) {
  state.names = PyRef::steal(PySequence_Tuple(names));
  if (!state.names) return false;
  std::vector<std::string_view> name_views(static_cast<size_t>(PyTuple_Size(state.names.get())));
  for (size_t i = 0; i < name_views.size(); ++i) {
    if (!utf8_view(PyTuple_GetItem(state.names.get(), static_cast<Py_ssize_t>(i)), "names", name_views[i])) return false;
  }
  if (!PyDict_Check(metadata)) return raise(PyExc_TypeError, "metadata must be a dict of str to str");
  std::vector<MetadataItem> items;
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  while (PyDict_Next(metadata, &position, &key, &value)) {
    MetadataItem& item = items.emplace_back();
    if (!utf8_view(key, "metadata keys", item.first) || !utf8_view(value, "metadata values", item.second)) return false;
  }
  std::vector<ModelBody> bodies;
  if (!read_bodies(declared, bodies)) return false;
  std::optional<std::string_view> tree_text;
  if (tree != Py_None) {
    std::string_view text;
    if (!utf8_view(tree, "tree", text)) return false;
    tree_text = text;
  }
  // The record is written (or gathered) before this returns: the views may go.
  auto started = run(state, false, [&] {
    return ModelFileWriter::start(state.output, name_views, items, state.options.alignment, bodies, tree_text);
  });
  if (!started.ok()) return raise_refusal(state, started.error());
  state.writer.emplace(std::move(started).value());
  return true;
}

const Signature kNew("ModelFileWriter", arg("fd", to_c_int), arg("names", as_object), arg("metadata", as_object),
                     arg("check_integrity", to_bool), arg("compress", to_bool), arg("alignment", to_alignment),
                     arg("convert", to_callable_or_none), arg("bodies", as_object, Py_None),
                     arg("tree", as_object, Py_None));

PyObject* writer_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return kNew.call(args, kwargs, [type](int fd, PyObject* names, PyObject* metadata, bool check_integrity,
                                        bool compress, uint64_t alignment, PyObject* convert,
                                        PyObject* bodies, PyObject* tree) -> PyObject* {
    const EncodeOptions options = encode_options(check_integrity, compress, alignment);
    if (!check_package_alignment(options)) return nullptr;
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyRef self = PyRef::steal(alloc(type, 0));
    if (!self) return nullptr;
    WriterState* state = new WriterState(fd);
    reinterpret_cast<WriterObject*>(self.get())->state = state;
    state->options = options;
    state->convert = PyRef::borrow(convert);
    if (!start(*state, names, metadata, bodies, tree)) return nullptr;
    return self.release();
  });
}

// write(value): the next name's entry.
PyObject* writer_write(PyObject* self, PyObject* value) {
  return guarded_call([&]() -> PyObject* {
    WriterState& state = state_of(self);
    const Py_ssize_t index = static_cast<Py_ssize_t>(state.writer->entries_written());
    if (index >= PyTuple_Size(state.names.get())) return raise_codec_error(other_error(kModelEntryOrder));
    PyObject* name = PyTuple_GetItem(state.names.get(), index);
    PlanBuilder builder(state.options, Dispatch::Package, state.convert.get());
    PacketPlan plan;
    if (!builder.plan_entry(name, value, plan)) return nullptr;
    const Status written = run(state, worth_releasing(plan.size()), [&] { return state.writer->write_entry(plan); });
    if (!written.ok()) return raise_refusal(state, written.error(), &plan, name);
    Py_RETURN_NONE;
  });
}

// write_body(data): the next name's entry, declared a body, from the bytes `data` exports (no copy).
PyObject* writer_write_body(PyObject* self, PyObject* data) {
  return guarded_call([&]() -> PyObject* {
    WriterState& state = state_of(self);
    BufferView bytes;
    if (!bytes.acquire_bytes(data)) return nullptr;
    const Status written = run(state, true, [&] { return state.writer->write_body(bytes.bytes()); });
    if (!written.ok()) return raise_refusal(state, written.error());
    Py_RETURN_NONE;
  });
}

// tie(index): the next name shares the packet of entry `index`.
PyObject* writer_tie(PyObject* self, PyObject* index) {
  return guarded_call([&]() -> PyObject* {
    uint64_t earlier = 0;
    if (!to_u64(index, earlier)) return nullptr;
    WriterState& state = state_of(self);
    const Status tied = state.writer->tie_entry(static_cast<size_t>(earlier));
    if (!tied.ok()) return raise_refusal(state, tied.error());
    Py_RETURN_NONE;
  });
}

PyObject* writer_finish(PyObject* self, PyObject*) {
  return guarded_call([&]() -> PyObject* {
    WriterState& state = state_of(self);
    const Result<uint64_t> size = run(state, false, [&] { return state.writer->finish(); });
    if (!size.ok()) return raise_refusal(state, size.error());
    return PyLong_FromUnsignedLongLong(*size);
  });
}

int writer_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (const WriterState* state = reinterpret_cast<WriterObject*>(self)->state) {
    Py_VISIT(state->names.get());
    Py_VISIT(state->convert.get());
  }
  return 0;
}

int writer_clear(PyObject* self) {
  if (WriterState* state = reinterpret_cast<WriterObject*>(self)->state) {
    state->names = PyRef();
    state->convert = PyRef();
  }
  return 0;
}

void writer_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  delete std::exchange(reinterpret_cast<WriterObject*>(self)->state, nullptr);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);  // instances of a heap type hold a reference to it
}

PyMethodDef kMethods[] = {
    {"write", writer_write, METH_O, "write(value)\n--\n\nWrite value as the next name's entry."},
    {"write_body", writer_write_body, METH_O,
     "write_body(data)\n--\n\nWrite the bytes data exports as the next name's body, declared at the start."},
    {"tie", writer_tie, METH_O, "tie(index)\n--\n\nGive the next name the packet of entry index."},
    {"finish", writer_finish, METH_NOARGS,
     "finish()\n--\n\nPatch the record's ranges and file size once every name has its entry; the file's length."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(writer_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(writer_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(writer_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(writer_clear)},
    {Py_tp_methods, kMethods},
    {Py_tp_doc, const_cast<char*>("ModelFileWriter(fd, names, metadata, check_integrity, compress, alignment, convert, bodies=None, tree=None)"
                                  "\n--\n\nA model file written to fd, the record first, then one entry per call.")},
    {0, nullptr},
};
PyType_Spec kSpec = {"vakra._native.ModelFileWriter", sizeof(WriterObject), 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
                     kSlots};

}  // namespace

PyRef make_model_file_writer_type() { return PyRef::steal(PyType_FromSpec(&kSpec)); }

}  // namespace vakra::ext
