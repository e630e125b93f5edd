// FrameAssembly: decoding a packet across its frames, and where a view lies.
#include "vakra/frames.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <set>
#include <utility>

#include "packet_kinds_internal.hpp"

namespace vakra {

// What a ByteSource over frames reads. Fields are copied out of the frames
// piece by piece; a part is viewed in the frame that holds it whole, or else
// copied into the storage at its own offset in the packet.
class FrameStore {
 public:
  using Frame = FrameAssembly::Frame;
  FrameStore(const std::vector<Frame>& frames, MutableBytes storage, bool copy_stable)
      : frames_(frames), storage_(storage), copy_stable_(copy_stable) {}

  ByteView view(ByteRange part, bool stable) {
    const std::pair<size_t, size_t> key{part.offset, part.length};
    if (!copied_.contains(key)) {
      const Frame& frame = frame_at(part.offset);
      if (!(stable && copy_stable_) && part.end() - frame.start <= frame.bytes.size()) {
        return frame.bytes.subspan(part.offset - frame.start, part.length);
      }
      copy(part.offset, part.length, storage_.data() + part.offset);
      // A copy that is handed out is never written again: parts that overlap
      // (a quantized packet's parameters and its tables) are not stable ones.
      if (part.length != 0) copied_.insert(key);
    }
    return ByteView(storage_).subspan(part.offset, part.length);
  }

  void copy(size_t offset, size_t length, uint8_t* out) const {
    for (const Frame* frame = &frame_at(offset); length != 0; ++frame) {
      const size_t from = offset - frame->start;
      const size_t n = std::min(length, frame->bytes.size() - from);
      std::memcpy(out, frame->bytes.data() + from, n);
      out += n;
      offset += n;
      length -= n;
    }
  }

 private:
  // The last frame that starts at or before `offset` (the first starts at 0).
  const Frame& frame_at(size_t offset) const {
    auto after = std::upper_bound(frames_.begin(), frames_.end(), offset,
                                  [](size_t value, const Frame& frame) { return value < frame.start; });
    return *std::prev(after);
  }

  const std::vector<Frame>& frames_;
  MutableBytes storage_;
  bool copy_stable_;  // stable parts are copied even when one frame holds them whole
  std::set<std::pair<size_t, size_t>> copied_;  // parts already in storage
};

ByteView ByteSource::frames_view(ByteRange part, bool stable) const { return frames_->view(part, stable); }

void ByteSource::frames_copy(size_t offset, size_t length, uint8_t* out) const { frames_->copy(offset, length, out); }

namespace {

uintptr_t address(const uint8_t* p) { return reinterpret_cast<uintptr_t>(p); }

}  // namespace

Result<FrameAssembly> FrameAssembly::of(const std::vector<ByteView>& frames) {
  FrameAssembly out;
  for (size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].empty()) continue;
    out.frames_.push_back(Frame{i, out.size_, frames[i]});
    const auto total = wire::checked_add(out.size_, frames[i].size());
    VAKRA_RETURN_IF(!total, make_error(ErrorKind::Malformed));
    out.size_ = *total;
  }
  out.by_address_.resize(out.frames_.size());
  for (size_t i = 0; i < out.by_address_.size(); ++i) out.by_address_[i] = i;
  std::sort(out.by_address_.begin(), out.by_address_.end(), [&](size_t a, size_t b) {
    return address(out.frames_[a].bytes.data()) < address(out.frames_[b].bytes.data());
  });
  out.furthest_.resize(out.by_address_.size());
  for (size_t k = 0; k < out.by_address_.size(); ++k) {
    const size_t here = out.by_address_[k];
    const Frame& frame = out.frames_[here];
    out.furthest_[k] = here;
    if (k != 0) {
      const Frame& best = out.frames_[out.furthest_[k - 1]];
      if (address(best.bytes.data()) + best.bytes.size() > address(frame.bytes.data()) + frame.bytes.size()) {
        out.furthest_[k] = out.furthest_[k - 1];
      }
    }
  }
  return out;
}

Result<Decoded> FrameAssembly::decode(MutableBytes storage, CompressedBodies compressed, Ownership ownership) const {
  if (!needs_copy()) return vakra::decode(packet_prefix(frames_.empty() ? ByteView() : frames_[0].bytes), compressed);
  VAKRA_RETURN_IF(storage.size() < size_, make_error(ErrorKind::BufferTooSmall));
  FrameStore store(frames_, storage.first(size_), ownership == Ownership::Shared);
  const ByteSource source(store, size_);
  return decode_window(source, {0, prefix_length(source)}, 0, compressed);
}

std::optional<FrameAssembly::FrameSpot> FrameAssembly::frame_of(ByteView view) const {
  // Of the frames starting at or before the view, the one reaching furthest holds it if any does.
  const auto after = std::upper_bound(by_address_.begin(), by_address_.end(), address(view.data()),
                                      [&](uintptr_t value, size_t i) { return value < address(frames_[i].bytes.data()); });
  if (after == by_address_.begin()) return std::nullopt;
  const Frame& frame = frames_[furthest_[static_cast<size_t>(after - by_address_.begin()) - 1]];
  const uintptr_t begin = address(frame.bytes.data());
  if (address(view.data()) + view.size() > begin + frame.bytes.size()) return std::nullopt;
  return FrameSpot{frame.index, address(view.data()) - begin};
}

}  // namespace vakra
