// Dispatch over the kinds of planned packet, and the sink that writes a
// whole packet into one buffer.
#include <utility>

#include "body_copy_internal.hpp"
#include "sink_internal.hpp"

namespace vakra {
namespace {

template <class... Visitors>
struct Overloaded : Visitors... {
  using Visitors::operator()...;
};
// Clang before 17 has no aggregate deduction, so the guide is spelled out.
template <class... Visitors>
Overloaded(Visitors...) -> Overloaded<Visitors...>;

// Writes the packet front to back into memory the caller sized with the plan.
class BufferSink final : public PacketSink {
 public:
  explicit BufferSink(uint8_t* out) : cursor_(out) {}

  MutableBytes piece(size_t n) override { return {advance(n), n}; }
  // Large bodies are split across the codec's threads; the checksum is taken
  // of the bytes as written, chunk by chunk while they are in cache.
  void body(ByteView bytes) override {
    const parallel::BodyCopy copy{advance(bytes.size()), bytes, nullptr};
    parallel::copy_bodies({&copy, 1});
  }
  uint64_t hashed_body(ByteView bytes) override {
    uint64_t digest = 0;
    const parallel::BodyCopy copy{advance(bytes.size()), bytes, &digest};
    parallel::copy_bodies({&copy, 1});
    return digest;
  }

 private:
  uint8_t* advance(size_t n) { return std::exchange(cursor_, cursor_ + n); }
  uint8_t* cursor_;
};

}  // namespace

size_t PacketPlan::size() const {
  return std::visit(Overloaded{
                        [](const RawPacket& raw) { return raw.bytes.size(); },
                        [](const auto& plan) { return plan.size; },
                    },
                    node);
}

void emit_plan(const PacketPlan& plan, PacketSink& sink) {
  std::visit(Overloaded{
                 [&](const DensePlan& dense) { emit_dense(dense, sink); },
                 [&](const SparsePlan& sparse) { emit_sparse(sparse, sink); },
                 [&](const BundlePlan& bundle) { emit_bundle(bundle, sink); },
                 [&](const StringPlan& string) { emit_string(string, sink); },
                 [&](const QuantizedPlan& quantized) { emit_quantized(quantized, sink); },
                 [&](const RawPacket& raw) { sink.body(raw.bytes); },
             },
             plan.node);
}

void write_plan(const PacketPlan& plan, MutableBytes out) {
  BufferSink sink(out.data());
  emit_plan(plan, sink);
}

Result<size_t> write_plan_checked(const PacketPlan& plan, MutableBytes out) {
  const size_t size = plan.size();
  VAKRA_RETURN_IF(out.size() < size, make_error(ErrorKind::BufferTooSmall));
  write_plan(plan, out);
  return size;
}

}  // namespace vakra
