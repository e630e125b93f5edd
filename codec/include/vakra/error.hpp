// CodecError: the one error type of the codec. A small trivially copyable
// value (kind plus one payload) so it can be returned without allocating.
#pragma once

#include <cstdint>
#include <string>

namespace vakra {

enum class ErrorKind : uint8_t {
  PacketTooShort = 0,
  InvalidMagic = 1,
  UnsupportedVersion = 2,  // payload: the version byte
  UnknownDtype = 3,        // payload: the dtype code
  TooManyDimensions = 4,
  TooManyElements = 5,
  IntegrityMismatch = 6,
  TooManyBundleEntries = 7,
  Other = 8,  // payload: a static text
  BufferTooSmall = 9,
  Malformed = 10,
};

inline constexpr int kErrorKindCount = 11;

struct CodecError {
  ErrorKind kind = ErrorKind::Malformed;
  uint8_t code = 0;            // UnsupportedVersion / UnknownDtype payload
  const char* text = nullptr;  // Other payload; always a string literal

  friend bool operator==(const CodecError& a, const CodecError& b);
};

constexpr CodecError make_error(ErrorKind kind, uint8_t code = 0) { return CodecError{kind, code, nullptr}; }
constexpr CodecError other_error(const char* text) { return CodecError{ErrorKind::Other, 0, text}; }

// Fixed texts carried by ErrorKind::Other.
inline constexpr const char* kCompressedNeedsOwningPath = "compressed dense bodies require an owning decode path";
inline constexpr const char* kLz4EncodeFailed = "LZ4 frame encode failed";
inline constexpr const char* kLz4FinishFailed = "LZ4 frame finish failed";
inline constexpr const char* kLz4DecompressFailed = "LZ4 frame decompression failed";

// The message template of a kind, with "{}" where the payload goes.
const char* error_template(ErrorKind kind);

// The full message of an error, payload substituted.
std::string error_message(const CodecError& error);

}  // namespace vakra
