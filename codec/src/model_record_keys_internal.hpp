// The keys of a model file's record: its five fields, in order, and the
// optional "tree" field of version 2 (bodies: model_bodies_internal.hpp).
#pragma once

#include <array>
#include <string_view>

namespace vakra::model {

inline constexpr std::array<std::string_view, 5> kRecordKeys = {"format", "names", "ranges", "metadata", "file_size"};
// A string tensor of one UTF-8 item: a checkpoint tree's skeleton, whose nodes the package reads.
inline constexpr std::string_view kTreeKey = "tree";

}  // namespace vakra::model
