// Turns a Python value into a codec PacketPlan: everything is validated and
// sized while the value is walked, in the order the errors are reported, and
// the packet is then written in one pass with every body copied straight
// into its final place (or handed out as a segment).
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "buffer_view.hpp"
#include "numpy_array.hpp"
#include "pyref.hpp"
#include "python_api.hpp"
#include "tensor_inputs.hpp"
#include "vakra/plan.hpp"

namespace vakra::ext {

// Values may nest this far below the top-level value, so every packet the
// encoder writes stays within the decoder's nesting limit.
inline constexpr size_t kMaxValueDepth = MAX_NESTING_DEPTH;

// Which values the builder takes, and how.
enum class Dispatch : uint8_t {
  // vakra_rs's dumps_rs: a dict becomes a bundle, an object with a str
  // `format` a sparse packet, and anything else is read as an array by its
  // attributes, its bytes taken as they lie.
  Arrays,
  // The package's encoders: also StringTensor, QuantizedTensor and lists of
  // str or bytes, with the package's messages. Exact ndarrays are taken when
  // C-contiguous in native byte order; any value the builder does not take
  // as it is goes once through the package's `convert` callable.
  Package,
};

class PlanBuilder {
 public:
  // `convert` is used by the Package dispatch only and may be nullptr (or
  // None), which makes every value it would be asked about a TypeError.
  explicit PlanBuilder(const EncodeOptions& options, Dispatch dispatch = Dispatch::Arrays, PyObject* convert = nullptr)
      : options_(options), dispatch_(dispatch), convert_(convert) {}

  // Plans `value` by the builder's dispatch. False with a Python exception
  // set, its notes added (limit_notes.hpp).
  bool plan_value(PyObject* value, PacketPlan& out);

  // Plans `value` as the entry `key` of a model file, whose top-level bundle
  // holds it: nesting counts from one level down, and a note on a broken
  // limit names the path from `key`.
  bool plan_entry(PyObject* key, PyObject* value, PacketPlan& out);

  // Plans an array (read by its attributes) as a dense packet with the builder's options.
  bool plan_array(PyObject* array, DensePlan& out);

  // The Python object whose memory `bytes` lies in, if the builder viewed
  // `bytes` in place; nullptr for bytes the plan or the builder own.
  PyObject* owner_of(ByteView bytes);

 private:
  bool plan_at(PyObject* value, PacketPlan& out, size_t depth);
  bool plan_package_value(PyObject* value, PacketPlan& out, size_t depth, bool converted);
  bool plan_converted(PyObject* value, PacketPlan& out, size_t depth, bool converted);
  bool plan_typed_bytes(PyObject* pair, PacketPlan& out);
  bool plan_bundle(PyObject* dict, BundlePlan& out, size_t depth);
  bool note_failed_entry(PyObject* key);
  bool plan_sparse(PyObject* matrix, PyObject* format, SparsePlan& out);
  bool plan_string_parts(StringParts& parts, PacketPlan& out);
  bool plan_quantized_tensor(PyObject* tensor, PacketPlan& out);
  // Reads an array (by its attributes) and keeps it for the plan; `native_order` tells whether its bytes are little-endian.
  bool collect_array(PyObject* array, DenseView& view, bool& native_order);
  // Keeps an array whose memory `info` describes (held in keep_exports_) for
  // the plan, and sets `view` to its bytes as elements of `dtype`. An array
  // of a packed type holds one element per byte (`one_per_byte`, as NumPy
  // does): its elements are packed into a bytes object the plan keeps;
  // otherwise its bytes are the wire's units and its last dimension counts
  // units. False with a Python exception set.
  bool keep_array(PyObject* array, NumpyArrayInfo& info, Dtype dtype, bool one_per_byte, DenseView& view);
  void anchor(ByteView bytes, PyObject* owner);

  struct Anchor {
    const uint8_t* begin;
    size_t size;
    PyObject* owner;  // kept alive by keep_objects_ or the parts below
  };

  // Everything the plan's views point into lives here until the builder dies:
  // the values themselves, their buffer exports, shapes, UTF-8 keys and the
  // parts of string and quantized tensors.
  EncodeOptions options_;
  Dispatch dispatch_;
  PyObject* convert_;
  std::vector<PyRef> keep_objects_;
  // Elements at stable addresses, allocated in blocks (a dict of 255 arrays
  // costs a few allocations, not 255), and nothing at all while empty (a
  // deque allocates when made, which every small encode would pay).
  template <class T>
  class KeptItems {
   public:
    T& emplace_back(auto&&... args) {
      if (!items_) items_.emplace();
      return items_->emplace_back(std::forward<decltype(args)>(args)...);
    }

   private:
    std::optional<std::deque<T>> items_;
  };
  KeptItems<BufferView> keep_exports_;
  KeptItems<std::vector<uint32_t>> keep_shapes_;
  KeptItems<StringParts> keep_strings_;
  KeptItems<QuantizedParts> keep_quantized_;
  std::vector<PyObject*> open_dicts_;  // the dicts being walked, to refuse one that contains itself
  std::vector<PyObject*> failed_path_;  // keys of the entries a failure came through, innermost first
  std::string failed_limit_;            // the bound that failure broke, when its message does not say
  std::vector<Anchor> anchors_;
  bool anchors_sorted_ = false;
};

}  // namespace vakra::ext
