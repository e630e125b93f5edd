// The optional fields of a model file's record, read and checked.
#include <variant>

#include "model_record_internal.hpp"

namespace vakra::model {
namespace {

// "tree": a string tensor of exactly one UTF-8 item, the skeleton of a
// checkpoint tree (the package reads its nodes).
Status read_tree(const Decoded& field, RecordFields& fields) {
  const auto* text = std::get_if<DecodedString>(&field.value);
  VAKRA_RETURN_IF(text == nullptr || text->shape.size() != 1 || item_count(*text) != 1 || !all_utf8(*text),
                  other_error(kModelRecordWrongTypes));
  fields.tree = item(*text, 0);
  return {};
}

}  // namespace

Status read_optional_fields(std::span<const BundleItem> optional, RecordFields& fields) {
  size_t next = 0;  // the first known key the next field may be
  for (const BundleItem& field : optional) {
    while (next < kRecordOptionalKeys.size() && field.key != kRecordOptionalKeys[next]) ++next;
    VAKRA_RETURN_IF(next == kRecordOptionalKeys.size(), other_error(kModelLayoutUnsupported));
    if (next == 0) VAKRA_TRY(read_tree(field.value, fields));
    ++next;
  }
  return {};
}

}  // namespace vakra::model
