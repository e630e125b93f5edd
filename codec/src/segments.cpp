// The sink that turns a plan's walk into a segment list: pieces and small
// bodies accumulate in one owned buffer, larger bodies become views, and
// checksummed bodies are copied before they are hashed.
#include "vakra/segments.hpp"

#include <cstring>
#include <deque>

#include "body_copy_internal.hpp"
#include "memory_internal.hpp"
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
    pending_.push_back({.view = bytes, .owned = false, .borrowed = true});
  }
  // A list goes out after it is made (writev, sendmsg, frames handed to a
  // transport), while the caller's memory may be written meanwhile: a
  // checksummed body goes into the list's own storage, and the checksum is
  // taken of that copy, so the two always agree. Copies and checksums are
  // made at the end, several bodies at a time.
  void checked_body(ByteView bytes) override {
    Checked& checked = place_checked(bytes, nullptr);
    piece(sizeof(uint64_t));
    checked.footer = owned_.size() - sizeof(uint64_t);
  }
  void checked_parts(std::span<const ByteView> parts, hash::Xxh3Stream&& started) override {
    hash::Xxh3Stream* stream = &streams_.emplace_back(std::move(started));
    for (const ByteView part : parts) place_checked(part, stream);
    piece(sizeof(uint64_t));
    footers_.push_back({stream, owned_.size() - sizeof(uint64_t)});
  }

  // Owned ranges are recorded as offsets while the buffer may still move,
  // and become views once it no longer does.
  SegmentList finish() && {
    if (!checked_.empty()) {
      std::vector<uint64_t> digests(checked_.size());
      std::vector<parallel::BodyCopy> copies;
      copies.reserve(checked_.size());
      for (size_t i = 0; i < checked_.size(); ++i) {
        const Checked& checked = checked_[i];
        uint8_t* destination = checked.bounce != nullptr ? checked.bounce : owned_.data() + checked.owned_offset;
        copies.push_back({destination, checked.source, checked.stream == nullptr ? &digests[i] : nullptr, checked.stream});
      }
      parallel::copy_bodies(copies);
      for (size_t i = 0; i < digests.size(); ++i) {
        if (checked_[i].stream == nullptr) wire::store_u64(owned_.data() + checked_[i].footer, digests[i]);
      }
      for (const auto& [stream, footer] : footers_) wire::store_u64(owned_.data() + footer, stream->digest());
    }
    SegmentList list;
    list.owned_ = std::move(owned_);
    list.bounced_ = std::move(bounced_);
    list.segments_.reserve(pending_.size());
    for (const Pending& p : pending_) {
      const ByteView bytes = p.owned ? ByteView(list.owned_.data() + p.offset, p.length) : p.view;
      list.segments_.push_back({bytes, p.borrowed, !p.owned && !p.borrowed});
      list.size_ += bytes.size();
    }
    return list;
  }

 private:
  struct Pending {
    ByteView view;       // a borrowed body, or a copy in bounced_
    size_t offset = 0;   // a range of owned_: where it starts,
    size_t length = 0;   // and how long it is
    bool owned = false;  // a range of owned_ rather than `view`
    bool borrowed = false;
  };
  // A checksummed body: copied from `source` into owned_ (small ones) or its
  // own buffer in bounced_, and hashed there; its digest goes at `footer` of
  // owned_, unless it is one of several parts fed to `stream`.
  struct Checked {
    ByteView source;
    size_t owned_offset = 0;
    uint8_t* bounce = nullptr;
    size_t footer = 0;
    hash::Xxh3Stream* stream = nullptr;
  };

  // Makes room for a checked body in the list's own storage; the copy is made at the end.
  Checked& place_checked(ByteView bytes, hash::Xxh3Stream* stream) {
    Checked checked{.source = bytes, .owned_offset = owned_.size(), .stream = stream};
    if (bytes.empty()) {
      // nothing to place; the checksum is that of no bytes
    } else if (bytes.size() < copy_below_) {
      grow_owned(bytes.size());
    } else {
      OwnedBytes& copy = bounced_.emplace_back(memory::fresh_output(bytes.size()));
      checked.bounce = copy.data();
      pending_.push_back({.view = copy.view(), .owned = false, .borrowed = false});
    }
    return checked_.emplace_back(checked);
  }

  // Extends the owned range at the end of the list, or opens one after a view.
  uint8_t* grow_owned(size_t n) {
    const size_t offset = owned_.size();
    owned_.resize(offset + n);
    if (pending_.empty() || !pending_.back().owned) {
      pending_.push_back({.view = {}, .offset = offset, .length = n, .owned = true, .borrowed = false});
    } else {
      pending_.back().length += n;
    }
    return owned_.data() + offset;
  }

  size_t copy_below_;
  std::vector<Checked> checked_;
  std::deque<hash::Xxh3Stream> streams_;  // of checked parts (a deque: Checked points into it)
  std::vector<std::pair<hash::Xxh3Stream*, size_t>> footers_;  // where each stream's digest goes in owned_
  std::vector<uint8_t> owned_;
  std::vector<OwnedBytes> bounced_;
  std::vector<Pending> pending_;
};

SegmentList plan_segments(const PacketPlan& plan, size_t copy_below) {
  SegmentSink sink(copy_below);
  emit_plan(plan, sink);
  return std::move(sink).finish();
}

}  // namespace vakra
