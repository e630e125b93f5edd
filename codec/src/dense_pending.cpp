// Temporary stand-ins for the dense encoder and the dispatcher so the other
// packet kinds link and test on their own. Removed when the real ones land.
#include "vakra/decode.hpp"
#include "vakra/dense.hpp"
#include "vakra/plan.hpp"

namespace vakra {

Result<DenseLayout> dense_layout(const DenseView&, size_t) { return make_error(ErrorKind::Malformed); }
Result<DensePlan> plan_dense(const DenseView&, const EncodeOptions&) { return make_error(ErrorKind::Malformed); }
void write_dense(const DensePlan&, MutableBytes) {}
Result<size_t> dense_required_size(const DenseView&, const EncodeOptions&) { return make_error(ErrorKind::Malformed); }
Result<size_t> encode_dense_into(const DenseView&, MutableBytes, const EncodeOptions&) {
  return make_error(ErrorKind::Malformed);
}
Result<Decoded> decode(ByteView, CompressedBodies) { return make_error(ErrorKind::Malformed); }
Result<Decoded> decode_depth(ByteView, size_t, CompressedBodies) { return make_error(ErrorKind::Malformed); }
Result<DecodedDense> decode_dense(ByteView, const PacketHeader&, CompressedBodies) {
  return make_error(ErrorKind::Malformed);
}

}  // namespace vakra
