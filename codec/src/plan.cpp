// Dispatch over the kinds of planned packet: sizing and writing.
#include "vakra/plan.hpp"

#include <algorithm>

namespace vakra {
namespace {

template <class... Visitors>
struct Overloaded : Visitors... {
  using Visitors::operator()...;
};
// Clang before 17 has no aggregate deduction, so the guide is spelled out.
template <class... Visitors>
Overloaded(Visitors...) -> Overloaded<Visitors...>;

}  // namespace

size_t PacketPlan::size() const {
  return std::visit(Overloaded{
                        [](const DensePlan& plan) { return plan.size; },
                        [](const SparsePlan& plan) { return plan.size; },
                        [](const BundlePlan& plan) { return plan.size; },
                        [](const RawPacket& raw) { return raw.bytes.size(); },
                    },
                    node);
}

void write_plan(const PacketPlan& plan, MutableBytes out) {
  std::visit(Overloaded{
                 [&](const DensePlan& dense) { write_dense(dense, out); },
                 [&](const SparsePlan& sparse) { write_sparse(sparse, out); },
                 [&](const BundlePlan& bundle) { write_bundle(bundle, out); },
                 [&](const RawPacket& raw) { std::ranges::copy(raw.bytes, out.data()); },
             },
             plan.node);
}

Result<size_t> write_plan_checked(const PacketPlan& plan, MutableBytes out) {
  const size_t size = plan.size();
  VAKRA_RETURN_IF(out.size() < size, make_error(ErrorKind::BufferTooSmall));
  write_plan(plan, out);
  return size;
}

}  // namespace vakra
