// The record's "bodies" field: which entries are raw bodies rather than
// packets, with the dtype and shape of each. It is a uint64 vector of one
// run per body, in increasing entry order: the entry's index, the dtype's
// wire code, the number of dimensions, then each dimension. The body's bytes
// are its name's range in "ranges", so the field says only how to read them.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "vakra/decode.hpp"
#include "vakra/model_file.hpp"

namespace vakra::model {

inline constexpr std::string_view kBodiesKey = "bodies";
// Bodies start at a multiple of this in the file (and of the writer's alignment when larger).
inline constexpr uint64_t kBodyAlignment = 64;

// The field's words for `bodies`.
std::vector<uint64_t> body_words(std::span<const ModelBody> bodies);

// Checks bodies a writer is given for `names` entries: increasing entries, dense dtypes, at most MAX_NDIM dimensions,
// a length.
Status check_bodies(std::span<const ModelBody> bodies, size_t names);

// Reads the field into record.bodies, checking each body against record.ranges (already inside the file): its
// entry, dtype and dimensions are sound (kModelRecordWrongTypes), its shape has a length (kModelBodyShape), its range
// is exactly that long (kModelBodyLength) and starts at a multiple of kBodyAlignment (kModelBodyMisaligned).
Status read_bodies(const Decoded& field, ModelRecord& record);

}  // namespace vakra::model
