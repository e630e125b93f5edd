// The message table of every CodecError kind.
#include "vakra/error.hpp"

#include <array>
#include <string>

namespace vakra {
namespace {

constexpr std::array<const char*, kErrorKindCount> kTemplates = {
    "Packet too short",
    "Invalid vakra packet",
    "Unsupported protocol version: {}",
    "Unsupported or unknown dtype code: {}",
    "Packet exceeds maximum dimensions",
    "Packet exceeds maximum elements",
    "Integrity check failed: XXH3 mismatch",
    "Bundle has too many entries; the wire format encodes the entry count in a single byte, so at most 255 "
    "entries are supported",
    "{}",
    "Buffer too small",
    "Malformed vakra packet",
    "Write failed: os error {}",
};

}  // namespace

bool operator==(const CodecError& a, const CodecError& b) {
  if (a.kind != b.kind || a.code != b.code) return false;
  if (a.text == b.text) return true;
  return a.text != nullptr && b.text != nullptr && std::string_view(a.text) == std::string_view(b.text);
}

const char* error_template(ErrorKind kind) {
  const auto index = static_cast<size_t>(kind);
  return index < kTemplates.size() ? kTemplates[index] : "unknown codec error";
}

std::string error_message(const CodecError& error) {
  std::string message = error_template(error.kind);
  const size_t payload = message.find("{}");
  if (payload == std::string::npos) return message;
  if (error.kind != ErrorKind::Other) return message.replace(payload, 2, std::to_string(error.code));
  return message.replace(payload, 2, error.text != nullptr ? error.text : "");
}

}  // namespace vakra
