// check_frames: one packet (encoded from a value built out of the input,
// sometimes with one byte damaged) cut into frames at points the input picks,
// then decoded across them, as frames shared or handed over. The result is
// what decoding the packet in one buffer gives: the same error, or the same
// values at the same places, each view of the frame that holds it or of the
// storage at the part's own offset.
#include <algorithm>

#include "value_model.hpp"
#include "vakra/frames.hpp"
#include "vakra/walk.hpp"

namespace vakra::fuzz {
void check_frames(ByteView input) {
  FuzzInput in(input);
  const uint8_t damage = in.byte();
  Packet packet = encode_value(build_value(in, 3));
  if (damage % 4 == 0) packet[in.u32() % packet.size()] ^= static_cast<uint8_t>(damage | 1);

  std::vector<size_t> cuts = {0, packet.size()};
  for (size_t i = in.below(8); i > 0; --i) cuts.push_back(in.u32() % (packet.size() + 1));
  std::sort(cuts.begin(), cuts.end());
  // Every frame an exactly sized heap copy (empty ones included), so
  // AddressSanitizer sees a read past any of them.
  std::vector<Packet> frames;
  std::vector<size_t> starts;
  for (size_t i = 0; i + 1 < cuts.size(); ++i) {
    frames.emplace_back(packet.begin() + cuts[i], packet.begin() + cuts[i + 1]);
    starts.push_back(cuts[i]);
  }
  const std::vector<ByteView> views(frames.begin(), frames.end());
  auto assembly = FrameAssembly::of(views);
  FUZZ_CHECK(assembly.ok() && assembly->size() == packet.size());
  // The storage starts out holding a pattern, so a decoder reading bytes not copied in would see bytes that are not the packet's.
  Packet storage(assembly->needs_copy() ? assembly->size() : 0, in.byte());
  if (!storage.empty()) {
    FUZZ_CHECK(failed_with(assembly->decode(MutableBytes(storage).first(storage.size() - 1)), ErrorKind::BufferTooSmall));
  }
  // Frames handed over are viewed where a shared frame's checked parts are copied: the values are the same.
  const auto ownership = (damage & 4) != 0 ? FrameAssembly::Ownership::Handed : FrameAssembly::Ownership::Shared;
  const auto framed = assembly->decode(storage, CompressedBodies::View, ownership);
  const auto whole = decode(packet_prefix(packet), CompressedBodies::View);
  FUZZ_CHECK(whole.ok() == framed.ok());
  if (!whole.ok()) return FUZZ_CHECK(whole.error() == framed.error());

  const ViewPlace in_packet = [&](ByteView view) -> std::optional<size_t> {
    if (view.data() < packet.data() || view.data() + view.size() > packet.data() + packet.size()) return std::nullopt;
    return static_cast<size_t>(view.data() - packet.data());
  };
  const ViewPlace in_frames = [&](ByteView view) -> std::optional<size_t> {
    if (const auto spot = assembly->frame_of(view)) {
      FUZZ_CHECK(view.data() == views[spot->frame].data() + spot->offset);
      return starts[spot->frame] + spot->offset;
    }
    if (view.data() < storage.data() || view.data() + view.size() > storage.data() + storage.size()) return std::nullopt;
    return static_cast<size_t>(view.data() - storage.data());
  };
  FUZZ_CHECK(same_values(*whole, in_packet, *framed, in_frames));
}

}  // namespace vakra::fuzz
