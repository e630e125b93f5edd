// The sink that turns a plan's walk into a segment list: pieces and small
// bodies accumulate in one owned buffer, larger bodies become views.
#include "vakra/segments.hpp"

#include <cstring>

#include "body_copy_internal.hpp"
#include "sink_internal.hpp"
#include "wire_internal.hpp"

namespace vakra {

class SegmentSink final : public PacketSink {
 public:
  explicit SegmentSink(size_t copy_below) : copy_below_(copy_below) {}

  MutableBytes piece(size_t n) override { return n == 0 ? MutableBytes() : MutableBytes(grow_owned(n), n); }
  void body(ByteView bytes) override {
    if (bytes.empty()) return;
    if (bytes.size() < copy_below_) {
      std::memcpy(grow_owned(bytes.size()), bytes.data(), bytes.size());
      return;
    }
    pending_.push_back({.view = bytes, .borrowed = true});
  }
  // The checksums are taken at the end, several bodies at a time.
  void checked_body(ByteView bytes) override {
    body(bytes);
    piece(sizeof(uint64_t));
    checked_.push_back(bytes);
    footers_.push_back(owned_.size() - sizeof(uint64_t));
  }

  // Owned ranges are recorded as offsets while the buffer may still move,
  // and become views once it no longer does.
  SegmentList finish() && {
    if (!checked_.empty()) {
      std::vector<uint64_t> digests(checked_.size());
      parallel::hash_bodies(checked_, digests);
      for (size_t i = 0; i < digests.size(); ++i) wire::store_u64(owned_.data() + footers_[i], digests[i]);
    }
    SegmentList list;
    list.owned_ = std::move(owned_);
    list.segments_.reserve(pending_.size());
    for (const Pending& p : pending_) {
      const ByteView bytes = p.borrowed ? p.view : ByteView(list.owned_.data() + p.offset, p.length);
      list.segments_.push_back({bytes, p.borrowed});
      list.size_ += bytes.size();
    }
    return list;
  }

 private:
  struct Pending {
    ByteView view;       // a borrowed body
    size_t offset = 0;   // an owned range: where it starts in owned_,
    size_t length = 0;   // and how long it is
    bool borrowed = false;
  };

  // Extends the owned range at the end of the list, or opens one after a view.
  uint8_t* grow_owned(size_t n) {
    const size_t offset = owned_.size();
    owned_.resize(offset + n);
    if (pending_.empty() || pending_.back().borrowed) {
      pending_.push_back({.view = {}, .offset = offset, .length = n, .borrowed = false});
    } else {
      pending_.back().length += n;
    }
    return owned_.data() + offset;
  }

  size_t copy_below_;
  std::vector<ByteView> checked_;  // bodies whose checksum goes at the matching offset of owned_
  std::vector<size_t> footers_;
  std::vector<uint8_t> owned_;
  std::vector<Pending> pending_;
};

SegmentList plan_segments(const PacketPlan& plan, size_t copy_below) {
  SegmentSink sink(copy_below);
  emit_plan(plan, sink);
  return std::move(sink).finish();
}

}  // namespace vakra
