// The gathered output of a model file's writer (model_gather_internal.hpp).
#include <algorithm>
#include <cstring>

#include "model_gather_internal.hpp"

namespace vakra::model {
namespace {

constexpr size_t kFlushAt = size_t{4} << 20;
// Segments this long go out from their own memory; shorter ones are copied,
// so a model of many small values is written a few MiB per call.
constexpr size_t kViewFrom = size_t{1} << 20;

}  // namespace

GatheredOutput::Run* GatheredOutput::owned_run_at_end() {
  if (runs_.empty() || runs_.back().view != nullptr) runs_.push_back({end_, owned_.size(), 0, nullptr});
  return &runs_.back();
}

MutableBytes GatheredOutput::grow(size_t n) {
  if (n == 0) return {};
  Run* run = owned_run_at_end();
  const size_t offset = owned_.size();
  owned_.resize(offset + n);
  run->length += n;
  end_ += n;
  return {owned_.data() + offset, n};
}

void GatheredOutput::zeros(size_t n) {
  const MutableBytes out = grow(n);
  if (!out.empty()) std::memset(out.data(), 0, n);
}

void GatheredOutput::copy(ByteView bytes) {
  if (bytes.empty()) return;
  std::memcpy(grow(bytes.size()).data(), bytes.data(), bytes.size());
}

void GatheredOutput::segments(SegmentList&& list) {
  bool viewed = false;
  for (const Segment& segment : list.segments()) {
    if (segment.bytes.size() < kViewFrom) {
      copy(segment.bytes);
      continue;
    }
    view(segment.bytes);
    viewed = true;
  }
  if (viewed) lists_.push_back(std::move(list));  // owned ranges keep their address when the list moves
}

void GatheredOutput::view(ByteView bytes) {
  if (bytes.empty()) return;
  runs_.push_back({end_, 0, bytes.size(), bytes.data()});
  end_ += bytes.size();
  viewing_ = true;
}

Status GatheredOutput::patch(uint64_t offset, ByteView bytes) {
  if (offset < start_) {
    // The part handed over already goes through the output.
    const size_t handed = static_cast<size_t>(std::min<uint64_t>(bytes.size(), start_ - offset));
    VAKRA_TRY(output_->patch(offset, bytes.first(handed)));
    bytes = bytes.subspan(handed);
    offset += handed;
  }
  while (!bytes.empty()) {
    // The last run starting at or before `offset`; patches only ever fall on gathered bytes.
    auto run = std::upper_bound(runs_.begin(), runs_.end(), offset, [](uint64_t at, const Run& r) { return at < r.at; });
    VAKRA_RETURN_IF(run == runs_.begin() || std::prev(run)->view != nullptr, make_error(ErrorKind::Malformed));
    --run;
    const uint64_t into = offset - run->at;
    VAKRA_RETURN_IF(into >= run->length, make_error(ErrorKind::Malformed));
    const size_t n = static_cast<size_t>(std::min<uint64_t>(bytes.size(), run->length - into));
    std::memcpy(owned_.data() + run->owned_offset + into, bytes.data(), n);
    bytes = bytes.subspan(n);
    offset += n;
  }
  return {};
}

Status GatheredOutput::flush() {
  if (runs_.empty()) return {};
  std::vector<ByteView> pieces;
  pieces.reserve(runs_.size());
  for (const Run& run : runs_) {
    pieces.emplace_back(run.view != nullptr ? run.view : owned_.data() + run.owned_offset, run.length);
  }
  const Status written = output_->append(pieces);
  start_ = end_;
  owned_.clear();  // the capacity stays for the next bytes
  runs_.clear();
  lists_.clear();
  viewing_ = false;
  return written;
}

Status GatheredOutput::flush_when_full() { return owned_.size() >= kFlushAt ? flush() : Status(); }

}  // namespace vakra::model
