// FrameAssembly: the frames, the copy and where a body's real bytes lie.
#include <algorithm>
#include <cstring>

#include "vakra/frames.hpp"

namespace vakra {

FrameAssembly::FrameAssembly(const std::vector<ByteView>& frames, size_t min_hole_frame)
    : min_hole_frame_(std::max(min_hole_frame, kLeastHoleFrame)) {
  for (size_t i = 0; i < frames.size(); ++i) {
    if (frames[i].empty()) continue;
    frames_.push_back(Frame{i, size_, frames[i]});
    size_ += frames[i].size();  // cannot overflow: every frame is memory of this process
  }
  if (frames_.size() == 1) bytes_ = frames_.front().bytes;
}

Status FrameAssembly::assemble(MutableBytes storage) {
  VAKRA_RETURN_IF(storage.size() < size_, make_error(ErrorKind::BufferTooSmall));
  storage_ = storage.first(size_);
  bytes_ = ByteView(storage_.data(), storage_.size());
  const bool any_large = std::any_of(frames_.begin(), frames_.end(),
                                     [&](const Frame& frame) { return frame.bytes.size() >= min_hole_frame_; });
  if (any_large) {
    plan_holes();
  } else {
    copy_range({0, size_});
  }
  return {};
}

void FrameAssembly::copy_range(Range range) {
  for (auto frame = &frame_at(range.begin); range.begin < range.end; ++frame) {
    const size_t end = std::min(range.end, frame->start + frame->bytes.size());
    std::memcpy(storage_.data() + range.begin, frame->bytes.data() + (range.begin - frame->start), end - range.begin);
    range.begin = end;
  }
}

// Copies each hole but the kept ranges inside it (sorted, each within one hole).
void FrameAssembly::copy_outside(const std::vector<Range>& holes, const std::vector<Range>& kept) {
  auto next = kept.begin();
  for (const Range& hole : holes) {
    size_t from = hole.begin;
    for (; next != kept.end() && next->end <= hole.end; ++next) {
      copy_range({from, next->begin});
      from = next->end;
    }
    copy_range({from, hole.end});
  }
}

// The last frame that starts at or before `offset` (the first starts at 0).
const FrameAssembly::Frame& FrameAssembly::frame_at(size_t offset) const {
  auto after = std::upper_bound(frames_.begin(), frames_.end(), offset,
                                [](size_t value, const Frame& frame) { return value < frame.start; });
  return *std::prev(after);
}

bool FrameAssembly::in_one_frame(Range range) const {
  const Frame& frame = frame_at(range.begin);
  return range.end - frame.start <= frame.bytes.size();
}

std::optional<FrameAssembly::FrameSpot> FrameAssembly::frame_of(ByteView range) const {
  if (frames_.empty()) return std::nullopt;
  const size_t offset = static_cast<size_t>(range.data() - bytes_.data());
  if (!in_one_frame({offset, offset + range.size()})) return std::nullopt;
  const Frame& frame = frame_at(offset);
  return FrameSpot{frame.index, offset - frame.start};
}

ByteView FrameAssembly::bytes_of(ByteView range) const {
  const size_t offset = static_cast<size_t>(range.data() - bytes_.data());
  if (!needs_copy() || !in_one_frame({offset, offset + range.size()})) return range;
  const Frame& frame = frame_at(offset);
  return frame.bytes.subspan(offset - frame.start, range.size());
}

}  // namespace vakra
