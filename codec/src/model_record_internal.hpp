// The record reader's pieces shared by its files: string tensor items, and
// the optional fields of a record's second layout.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "vakra/decode.hpp"
#include "vakra/model_file.hpp"

namespace vakra::model {

size_t item_count(const DecodedString& strings);
// Item i of a string tensor whose offsets the decoder has checked.
std::string_view item(const DecodedString& strings, size_t i);
bool all_utf8(const DecodedString& strings);

// Reads the fields after the record's five into `fields`: each key one of
// kRecordOptionalKeys, in their order, none twice (kModelLayoutUnsupported
// otherwise: a later layout), each field of its kind (kModelRecordWrongTypes).
Status read_optional_fields(std::span<const BundleItem> optional, RecordFields& fields);

}  // namespace vakra::model
