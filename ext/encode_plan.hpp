// Turns a Python value (array, sparse matrix or dict of them) into a codec
// PacketPlan: everything is validated and sized while the value is walked,
// in the order the errors are reported, and the packet is then written in
// one pass with every body copied straight into its final place.
#pragma once

#include <cstddef>
#include <deque>
#include <memory>
#include <vector>

#include "buffer_view.hpp"
#include "pyref.hpp"
#include "python_api.hpp"
#include "vakra/plan.hpp"

namespace vakra::ext {

// Values may nest this far below the top-level value, so every packet the
// encoder writes stays within the decoder's nesting limit.
inline constexpr size_t kMaxValueDepth = MAX_NESTING_DEPTH;

class PlanBuilder {
 public:
  explicit PlanBuilder(const EncodeOptions& options) : options_(options) {}

  // Plans `value` by the dict / sparse / dense dispatch. False with a Python exception set.
  bool plan_value(PyObject* value, PacketPlan& out) { return plan_at(value, out, 0); }

  // Plans a NumPy array as a dense packet with the builder's options.
  bool plan_array(PyObject* array, DensePlan& out);

 private:
  bool plan_at(PyObject* value, PacketPlan& out, size_t depth);
  bool plan_bundle(PyObject* dict, BundlePlan& out, size_t depth);
  bool plan_sparse(PyObject* matrix, PyObject* format, SparsePlan& out);
  bool collect_array(PyObject* array, DenseView& view);

  // Everything the plan's views point into lives here until the builder dies:
  // the values themselves, their buffer exports, shapes and UTF-8 keys.
  EncodeOptions options_;
  std::vector<PyRef> keep_objects_;
  std::deque<BufferView> keep_exports_;
  std::deque<std::vector<uint32_t>> keep_shapes_;
  std::vector<PyObject*> open_dicts_;  // the dicts being walked, to refuse one that contains itself
};

}  // namespace vakra::ext
