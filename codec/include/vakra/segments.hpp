// A planned packet as an ordered list of byte ranges, for vectored output
// (writev, sendmsg, a list of frames): small pieces the list owns (headers,
// shapes, padding, length prefixes, checksums, and bodies too small to be
// worth a range of their own) and views of the bodies the plan refers to,
// which are not copied. Concatenated, the ranges are exactly the bytes
// write_plan writes: both are fed by the same walk over the plan.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "vakra/bytes.hpp"
#include "vakra/plan.hpp"

namespace vakra {

// One byte range of a packet.
struct Segment {
  ByteView bytes;
  // A view of a body the plan refers to (the caller's memory, or a dense
  // plan's compressed frame) rather than of the list's own storage. Bodies
  // under a checksum are never borrowed: they are copied into the list and
  // hashed there, so the checksum matches what goes out even if the caller's
  // memory changes before the list is written. Borrowed bodies go out as the
  // memory holds them when they are written, and may tear if it is written
  // concurrently.
  bool borrowed = false;
  // A checksummed body's copy in a buffer of the list's own that holds
  // nothing else: whoever keeps the list alive can hand the range out as it
  // is instead of copying it again.
  bool separate = false;
};

// Bodies shorter than this are copied into the owned piece around them: a
// packet of many small values becomes a few ranges, not thousands.
inline constexpr size_t kSegmentCopyBelow = 4096;

// A packet as ranges in order; move it around freely, the owned ranges move with it.
class SegmentList {
 public:
  std::span<const Segment> segments() const { return segments_; }  // in packet order
  size_t size() const { return size_; }  // the packet length, the sum of the ranges

 private:
  friend class SegmentSink;
  std::vector<uint8_t> owned_;      // owned ranges lie in here,
  std::vector<OwnedBytes> bounced_;  // except copies of large checksummed bodies
  std::vector<Segment> segments_;
  size_t size_ = 0;
};

// Borrowed ranges are valid while the plan and the memory it views live;
// owned ranges while the list lives. No range is empty.
SegmentList plan_segments(const PacketPlan& plan, size_t copy_below = kSegmentCopyBelow);

}  // namespace vakra
