// Which bodies the assembled copy of a framed packet leaves out ("holes").
//
// A hole is a body lying whole in one frame that the decoder does not read:
// an uncompressed dense body (its array is a view of the frame) other than a
// csr or csc index array (the decoder checks those), and the codes of a
// quantized tensor or the payload of a string tensor that carry no checksum
// (copied from the frame when converted). A checksummed dense body is
// verified here instead of by the decoder. The packet walker reads no
// body, so once every hole lies in a body that a walk of the copy reports,
// that walk read only real bytes: it is the walk of the real packet, and the
// decoder, which reads the same framing, is safe on the copy. Planning only
// proposes holes; that check decides, and a copy the walker rejects is filled
// in whole, so the decoder reports the packet's own error.
#include <algorithm>
#include <cstring>

#include "vakra/checksum.hpp"
#include "vakra/frames.hpp"
#include "vakra/header.hpp"
#include "vakra/walk.hpp"

namespace vakra {
namespace {

using Range = FrameAssembly::Range;

// Each round walks the packet once. Frames cut at body boundaries settle in
// one round, frames cut anywhere in a few; past this the whole packet is copied.
constexpr int kMaxPlanRounds = 4;
// A long run the walker skips keeps its last bytes in the copy: a footer and
// the next length prefix may lie there.
constexpr size_t kRunSlack = 64;
// Each probing step walks the framing read so far again, so the steps are
// bounded: a packet that needs more (a very large dict merged into frames at
// odd points, or a hostile one) is copied whole instead.
constexpr int kMaxProbeSteps = 1024;

uint64_t load_u64_le(const uint8_t* p) {
  uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | p[i];
  return value;
}

// The parts of `run` inside `holes` (sorted).
std::vector<Range> inside(Range run, const std::vector<Range>& holes) {
  std::vector<Range> parts;
  for (const Range& hole : holes) {
    const Range overlap{std::max(run.begin, hole.begin), std::min(run.end, hole.end)};
    if (overlap.begin < overlap.end) parts.push_back(overlap);
  }
  return parts;
}

}  // namespace

// The bodies that may be holes, in packet order. `checked`: the decoder reads
// this packet's bodies (it checks csr and csc index arrays, components 1 and
// 2, against the shape), so none of them may be left out.
void FrameAssembly::collect_bodies(const WalkedPacket& packet, std::vector<Body>& out, bool checked) {
  const bool checksummed = (packet.header.flags & FLAG_INTEGRITY) != 0;
  const size_t end = packet.body_offset + packet.body_length;
  if (!checked && packet.kind == PacketKind::Dense && !packet.compressed) {
    out.push_back({{packet.body_offset, end}, packet.offset, checksummed});
  } else if (!checked && packet.kind == PacketKind::Quantized && !checksummed) {
    out.push_back({{packet.body_offset, end}, packet.offset, false});
  } else if (!checked && packet.kind == PacketKind::String && !checksummed) {
    out.push_back({{end - packet.payload_length, end}, packet.offset, false});
  }
  for (size_t i = 0; i < packet.children.size(); ++i) {
    const bool index_array = packet.kind == PacketKind::Sparse && packet.format != SparseFormat::coo && i > 0;
    collect_bodies(packet.children[i].packet, out, checked || index_array);
  }
}

struct FrameAssembly::Probe {
  const std::vector<Range>& uncopied;  // not yet copied: the rest of the copy is real
  std::vector<Range> bodies;           // proposed holes, in order
  int steps = 0;
};

// Holes start as the large frames and are narrowed to the bodies lying whole
// in one frame that a walk of the copy reports; what a hole loses is copied.
// When a hole holds framing (frames merged across packets) the walk fails,
// and the bodies are found by probing instead.
void FrameAssembly::plan_holes() {
  std::vector<Range> holes;
  size_t copied_to = 0;
  for (const Frame& frame : frames_) {
    if (frame.bytes.size() < min_hole_frame_) continue;
    copy_range({copied_to, frame.start});
    holes.push_back({frame.start, frame.start + frame.bytes.size()});
    copied_to = holes.back().end;
  }
  copy_range({copied_to, storage_.size()});

  bool probed = false;
  for (int round = 0; round < kMaxPlanRounds && !holes.empty(); ++round) {
    Result<WalkedPacket> walked = walk_packet(bytes_);
    if (!walked.ok()) {
      if (probed) break;
      holes = probe_holes(holes);
      probed = true;
      continue;
    }
    std::vector<Body> bodies;
    collect_bodies(*walked, bodies, false);
    std::vector<Range> kept;
    auto body = bodies.begin();
    for (const Range& hole : holes) {
      while (body != bodies.end() && body->range.end <= hole.begin) ++body;
      for (auto b = body; b != bodies.end() && b->range.begin < hole.end; ++b) {
        if (in_one_frame(b->range)) {
          const std::vector<Range> part = inside(b->range, {hole});
          kept.insert(kept.end(), part.begin(), part.end());
        }
      }
    }
    if (kept == holes) {
      settle_checksums(bodies, holes);
      return;
    }
    copy_outside(holes, kept);
    holes = std::move(kept);
  }
  for (const Range& hole : holes) copy_range(hole);
}

// Reveals the copy from the start as the walker asks for it. A long run that
// the walker skips whole is a child packet, probed in turn when it starts
// with a magic, or else a body, proposed as a hole.
std::vector<Range> FrameAssembly::probe_holes(const std::vector<Range>& uncopied) {
  Probe probe{uncopied, {}, 0};
  size_t end = 0;
  if (!probe_at(0, storage_.size(), 0, probe, end)) probe.bodies.clear();
  copy_outside(uncopied, probe.bodies);
  return probe.bodies;
}

// Probes the packet at `start`, which ends by `limit`; sets `end` to its end.
// False when the packet cannot be followed (the caller then copies it all).
bool FrameAssembly::probe_at(size_t start, size_t limit, size_t depth, Probe& probe, size_t& end) {
  size_t known = start;  // the walker has read up to here
  while (++probe.steps < kMaxProbeSteps) {
    Result<PacketExtent> extent = probe_packet(bytes_.subspan(start, known - start));
    if (!extent.ok()) return false;
    if (extent->complete) {
      end = start + extent->length;
      return true;
    }
    if (extent->length > limit - known) return false;
    const Range run{known, known + extent->length};
    const std::vector<Range> hidden = inside(run, probe.uncopied);
    if (extent->length < min_hole_frame_ || hidden.empty()) {
      for (const Range& part : hidden) copy_range(part);
      known = run.end;
      continue;
    }
    for (const Range& part : inside({run.begin, run.begin + sizeof kMagic}, probe.uncopied)) copy_range(part);
    // A body may start with a magic too (bytes that are packets): one that does not probe as a packet is a body.
    if (depth < MAX_NESTING_DEPTH && std::memcmp(storage_.data() + run.begin, kMagic, sizeof kMagic) == 0 &&
        probe_at(run.begin, run.end, depth + 1, probe, known)) {
      continue;
    }
    const size_t tail = run.end - std::min(kRunSlack, extent->length);
    for (const Range& part : inside({run.begin, tail}, probe.uncopied)) probe.bodies.push_back(part);
    for (const Range& part : inside({tail, run.end}, probe.uncopied)) copy_range(part);
    known = run.end;
  }
  return false;
}

// A checksummed body in a hole is verified here, over the frame that holds it,
// and its flag is cleared in the copy so that the decoder does not hash the
// hole. A body whose checksum fails is copied in instead, flag and all, so
// the decoder reports the failure in its own order.
void FrameAssembly::settle_checksums(const std::vector<Body>& bodies, const std::vector<Range>& holes) {
  std::vector<Body> checked;
  std::vector<ByteView> real;
  auto hole = holes.begin();
  for (const Body& body : bodies) {
    while (hole != holes.end() && hole->end <= body.range.begin) ++hole;
    if (!body.checksummed || hole == holes.end() || hole->begin >= body.range.end) continue;
    const Frame& frame = frame_at(body.range.begin);
    checked.push_back(body);
    real.push_back(frame.bytes.subspan(body.range.begin - frame.start, body.range.end - body.range.begin));
  }
  std::vector<uint64_t> digests(real.size());
  body_checksums(real, digests);
  for (size_t i = 0; i < checked.size(); ++i) {
    if (digests[i] == load_u64_le(storage_.data() + checked[i].range.end)) {
      storage_[checked[i].packet_offset + 5] &= static_cast<uint8_t>(~FLAG_INTEGRITY);  // flags' low byte, v3 and v4
    } else {
      copy_range(checked[i].range);
    }
  }
}

}  // namespace vakra
