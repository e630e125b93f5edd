// Dispatch over the kinds of planned packet, and the sink that writes a
// whole packet into one buffer.
#include <algorithm>
#include <cstring>
#include <utility>

#include "hash_internal.hpp"
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

// Bodies are copied and hashed in chunks this size, so each chunk is hashed
// while it is still in cache right after being written.
constexpr size_t kCopyHashChunk = size_t{128} << 10;

// Copies `body` to `dst` and returns its XXH3-64, hashing the destination
// chunk by chunk right behind the copy.
uint64_t copy_and_hash(uint8_t* dst, ByteView body) {
  if (body.size() <= kCopyHashChunk) {
    if (!body.empty()) std::memcpy(dst, body.data(), body.size());
    return hash::xxh3({dst, body.size()});
  }
  hash::Xxh3Stream stream;
  for (size_t done = 0; done < body.size();) {
    const size_t n = std::min(kCopyHashChunk, body.size() - done);
    std::memcpy(dst + done, body.data() + done, n);
    stream.update({dst + done, n});
    done += n;
  }
  return stream.digest();
}

// Writes the packet front to back into memory the caller sized with the plan.
class BufferSink final : public PacketSink {
 public:
  explicit BufferSink(uint8_t* out) : cursor_(out) {}

  MutableBytes piece(size_t n) override { return {advance(n), n}; }
  void body(ByteView bytes) override {
    if (!bytes.empty()) std::memcpy(advance(bytes.size()), bytes.data(), bytes.size());
  }
  uint64_t hashed_body(ByteView bytes) override { return copy_and_hash(advance(bytes.size()), bytes); }

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
