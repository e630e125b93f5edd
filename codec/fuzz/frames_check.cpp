// check_frames: one packet (encoded from a value built out of the input,
// sometimes with one byte damaged) cut into frames at points the input picks,
// then assembled with a hole threshold small enough for the value model's
// bodies. Decoding the assembly gives what decoding the packet in one buffer
// gives: the same error, or the same values at the same offsets, hole bodies
// read from their frames.
#include <algorithm>

#include "value_model.hpp"
#include "vakra/frames.hpp"
#include "vakra/walk.hpp"

namespace vakra::fuzz {

void check_frames(ByteView input) {
  FuzzInput in(input);
  const size_t min_hole_frame = FrameAssembly::kLeastHoleFrame << in.below(8);
  const uint8_t damage = in.byte();
  Packet packet = encode_value(build_value(in, 3));
  if (damage % 4 == 0) packet[in.u32() % packet.size()] ^= static_cast<uint8_t>(damage | 1);

  std::vector<size_t> cuts = {0, packet.size()};
  for (size_t i = in.below(8); i > 0; --i) cuts.push_back(in.u32() % (packet.size() + 1));
  std::sort(cuts.begin(), cuts.end());
  // Every frame an exactly sized heap copy (empty ones included), so
  // AddressSanitizer sees a read past any of them.
  std::vector<Packet> frames;
  for (size_t i = 0; i + 1 < cuts.size(); ++i) frames.emplace_back(packet.begin() + cuts[i], packet.begin() + cuts[i + 1]);
  std::vector<ByteView> views(frames.begin(), frames.end());
  FrameAssembly assembly(views, min_hole_frame);
  FUZZ_CHECK(assembly.size() == packet.size() && assembly.needs_copy() == (packet.size() > 0 && cuts.size() > 2 &&
             std::count_if(frames.begin(), frames.end(), [](const Packet& f) { return !f.empty(); }) > 1));
  // The copy starts out holding a pattern, so a decoder reading a hole would see bytes that are not the packet's.
  Packet storage(assembly.size(), in.byte());
  if (assembly.needs_copy()) {
    FUZZ_CHECK(failed_with(assembly.assemble(MutableBytes(storage).first(storage.size() - 1)), ErrorKind::BufferTooSmall));
    FUZZ_CHECK(assembly.assemble(storage).ok());
  }
  const ByteView assembled = assembly.bytes();
  FUZZ_CHECK(assembled.size() == packet.size());

  const auto whole = decode(packet_prefix(packet), CompressedBodies::View);
  const auto framed = decode(packet_prefix(assembled), CompressedBodies::View);
  FUZZ_CHECK(whole.ok() == framed.ok());
  if (!whole.ok()) return FUZZ_CHECK(whole.error() == framed.error());
  walk_decoded(*framed, assembled);
  // Views that bytes_of places in a frame are views of the frame's own bytes.
  const ViewContents contents = [&](ByteView view) {
    const ByteView real = assembly.bytes_of(view);
    if (const auto spot = assembly.frame_of(view)) {
      FUZZ_CHECK(real.data() == views[spot->frame].data() + spot->offset);
    }
    return real;
  };
  FUZZ_CHECK(same_values(*whole, packet, *framed, assembled, contents));
}

}  // namespace vakra::fuzz
