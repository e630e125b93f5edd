// The record's "bodies" field (model_bodies_internal.hpp), written and read.
#include <algorithm>
#include <variant>

#include "model_bodies_internal.hpp"
#include "vakra/header.hpp"
#include "wire_internal.hpp"

namespace vakra {

Result<uint64_t> model_body_length(Dtype dtype, std::span<const uint64_t> shape) {
  const DtypeInfo* info = find_dtype_info(dtype);
  VAKRA_RETURN_IF(info == nullptr || !is_dense(dtype), make_error(ErrorKind::UnknownDtype, dtype_code(dtype)));
  const CodecError overflow = other_error(kModelBodyShape);
  // A zero dimension makes the count 0 whatever the others are, but none may exceed what an index can hold.
  uint64_t count = 1;
  bool empty = false;
  for (const uint64_t dim : shape) {
    VAKRA_RETURN_IF(dim > uint64_t{INT64_MAX}, overflow);
    empty = empty || dim == 0;
    if (!empty) VAKRA_RETURN_IF(__builtin_mul_overflow(count, dim, &count), overflow);
  }
  if (empty) count = 0;
  if (info->unit_elements != 1) {
    VAKRA_RETURN_IF(shape.empty() || shape.back() % info->unit_elements != 0, make_error(ErrorKind::Malformed));
    count /= info->unit_elements;
  }
  uint64_t length = 0;
  VAKRA_RETURN_IF(__builtin_mul_overflow(count, uint64_t{info->element_size}, &length), overflow);
  return length;
}

const ModelBody* ModelRecord::body_of(size_t entry) const {
  const auto found = std::ranges::lower_bound(bodies, entry, {}, &ModelBody::entry);
  return found != bodies.end() && found->entry == entry ? &*found : nullptr;
}

namespace model {

std::vector<uint64_t> body_words(std::span<const ModelBody> bodies) {
  std::vector<uint64_t> words;
  for (const ModelBody& body : bodies) {
    words.insert(words.end(), {body.entry, dtype_code(body.dtype), body.shape.size()});
    words.insert(words.end(), body.shape.begin(), body.shape.end());
  }
  return words;
}

Status check_bodies(std::span<const ModelBody> bodies, size_t names) {
  for (size_t i = 0; i < bodies.size(); ++i) {
    const ModelBody& body = bodies[i];
    VAKRA_RETURN_IF(body.entry >= names || (i > 0 && body.entry <= bodies[i - 1].entry) ||
                        body.shape.size() > MAX_NDIM,
                    make_error(ErrorKind::Malformed));
    VAKRA_TRY(model_body_length(body.dtype, body.shape));
  }
  return {};
}

Status read_bodies(const Decoded& field, ModelRecord& record) {
  const CodecError wrong_types = other_error(kModelRecordWrongTypes);
  const auto* words = std::get_if<DecodedDense>(&field.value);
  VAKRA_RETURN_IF(words == nullptr || words->dtype != Dtype::Uint64 || words->shape.size() != 1, wrong_types);
  const size_t count = words->shape[0];
  const auto word = [&](size_t i) { return wire::load_u64(words->data.data() + 8 * i); };
  for (size_t at = 0; at < count;) {
    VAKRA_RETURN_IF(count - at < 3, wrong_types);
    const uint64_t entry = word(at), code = word(at + 1), ndim = word(at + 2);
    const bool increasing = record.bodies.empty() || entry > record.bodies.back().entry;
    VAKRA_RETURN_IF(!increasing || entry >= record.ranges.size() || ndim > MAX_NDIM || ndim > count - at - 3 || code > 0xFF,
                    wrong_types);
    const Result<Dtype> dtype = dtype_from_code(static_cast<uint8_t>(code));
    VAKRA_RETURN_IF(!dtype.ok() || !is_dense(*dtype), wrong_types);
    ModelBody& body = record.bodies.emplace_back(ModelBody{static_cast<size_t>(entry), *dtype, {}});
    for (size_t d = 0; d < ndim; ++d) body.shape.push_back(word(at + 3 + d));
    at += 3 + ndim;
    const Result<uint64_t> length = model_body_length(body.dtype, body.shape);
    VAKRA_RETURN_IF(!length.ok() && length.error().kind == ErrorKind::Other, length.error());
    VAKRA_RETURN_IF(!length.ok(), wrong_types);  // a packed type's shape it cannot fill
    const ByteRange range = record.ranges[body.entry];
    VAKRA_RETURN_IF(*length != range.length, other_error(kModelBodyLength));
    VAKRA_RETURN_IF(range.offset % kBodyAlignment != 0, other_error(kModelBodyMisaligned));
  }
  return {};
}

}  // namespace model
}  // namespace vakra
