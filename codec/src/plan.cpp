// Dispatch over the kinds of planned packet, and the sink that writes a
// whole packet into one buffer.
#include <cstring>
#include <deque>
#include <utility>
#include <vector>

#include "body_copy_internal.hpp"
#include "hash_internal.hpp"
#include "overloaded_internal.hpp"
#include "sink_internal.hpp"
#include "wire_internal.hpp"

namespace vakra {
namespace {

// Writes the packet front to back into memory the caller sized with the
// plan. Pieces are written at once; large bodies are held back and copied
// together at the end, so the bodies of a bundle are copied (and their
// checksums taken, of the bytes as written) several at a time.
class BufferSink final : public PacketSink {
 public:
  explicit BufferSink(uint8_t* out) : cursor_(out) {}

  MutableBytes piece(size_t n) override { return {advance(n), n}; }
  void body(ByteView bytes) override { place(bytes, nullptr); }
  void checked_body(ByteView bytes) override {
    uint8_t* destination = advance(bytes.size());
    place_at(destination, bytes, advance(sizeof(uint64_t)));
  }
  // Small parts are copied and hashed on the spot until a large one is held
  // back; the parts after it are held too, so the stream takes them in order.
  void checked_parts(std::span<const ByteView> parts, hash::Xxh3Stream&& started) override {
    hash::Xxh3Stream& stream = streams_.emplace_back(std::move(started));
    bool holding = false;
    for (const ByteView part : parts) {
      uint8_t* destination = advance(part.size());
      holding = holding || part.size() >= kHoldFrom;
      if (holding) {
        held_.push_back({destination, part, nullptr, &stream});
        footers_.push_back(nullptr);
        continue;
      }
      if (!part.empty()) std::memcpy(destination, part.data(), part.size());
      stream.update({destination, part.size()});
    }
    uint8_t* footer = advance(sizeof(uint64_t));
    if (holding) {
      stream_footers_.push_back({&stream, footer});
    } else {
      wire::store_u64(footer, stream.digest());
    }
  }

  void finish() {
    if (held_.empty()) return;
    std::vector<uint64_t> digests(held_.size());
    for (size_t i = 0; i < held_.size(); ++i) {
      if (footers_[i] != nullptr) held_[i].digest = &digests[i];
    }
    parallel::copy_bodies(held_);
    for (size_t i = 0; i < held_.size(); ++i) {
      if (footers_[i] != nullptr) wire::store_u64(footers_[i], digests[i]);
    }
    for (const auto& [stream, footer] : stream_footers_) wire::store_u64(footer, stream->digest());
  }

 private:
  // Bodies below this are copied on the spot: holding them back buys no
  // parallelism and would cost small packets an allocation.
  static constexpr size_t kHoldFrom = size_t{64} << 10;

  void place(ByteView bytes, uint8_t* footer) { place_at(advance(bytes.size()), bytes, footer); }
  void place_at(uint8_t* destination, ByteView bytes, uint8_t* footer) {
    if (bytes.size() >= kHoldFrom) {
      held_.push_back({destination, bytes, nullptr});
      footers_.push_back(footer);
      return;
    }
    if (!bytes.empty()) std::memcpy(destination, bytes.data(), bytes.size());
    if (footer != nullptr) wire::store_u64(footer, hash::xxh3({destination, bytes.size()}));
  }
  uint8_t* advance(size_t n) { return std::exchange(cursor_, cursor_ + n); }

  uint8_t* cursor_;
  std::vector<parallel::BodyCopy> held_;
  std::vector<uint8_t*> footers_;  // where each held body's checksum goes, or nullptr
  std::deque<hash::Xxh3Stream> streams_;  // of checked parts (a deque: held bodies point into it)
  std::vector<std::pair<hash::Xxh3Stream*, uint8_t*>> stream_footers_;  // digests taken once held parts are copied
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

void emit_zeros(size_t n, PacketSink& sink) {
  if (n == 0) return;
  const MutableBytes zeros = sink.piece(n);
  std::memset(zeros.data(), 0, zeros.size());
}

bool plan_takes_checksums(const PacketPlan& plan) {
  return std::visit(Overloaded{
                        [](const DensePlan& dense) { return dense.options.check_integrity; },
                        [](const SparsePlan&) { return false; },  // components are never checksummed
                        [](const BundlePlan& bundle) {
                          for (const BundlePlanEntry& entry : bundle.entries) {
                            if (plan_takes_checksums(entry.packet)) return true;
                          }
                          return false;
                        },
                        [](const StringPlan& string) { return string.check_integrity; },
                        [](const QuantizedPlan& quantized) { return quantized.options.check_integrity; },
                        [](const RawPacket&) { return false; },  // copied as it is
                    },
                    plan.node);
}

void write_plan(const PacketPlan& plan, MutableBytes out) {
  BufferSink sink(out.data());
  emit_plan(plan, sink);
  sink.finish();
}

Result<size_t> write_plan_checked(const PacketPlan& plan, MutableBytes out) {
  const size_t size = plan.size();
  VAKRA_RETURN_IF(out.size() < size, make_error(ErrorKind::BufferTooSmall));
  write_plan(plan, out);
  return size;
}

}  // namespace vakra
