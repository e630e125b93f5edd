// CodecError: the one error type of the codec. A small trivially copyable
// value (kind plus one payload) so it can be returned without allocating.
#pragma once

#include "vakra/language_version.hpp"

#include <cstdint>
#include <string>

namespace vakra {

// What went wrong. The numbering is stable; error_message() gives the text,
// the same one Python's ValueError carries.
enum class ErrorKind : uint8_t {
  PacketTooShort = 0,  // the bytes end before the packet does
  InvalidMagic = 1,    // the bytes do not start with VKRA
  UnsupportedVersion = 2,  // payload: the version byte
  UnknownDtype = 3,        // payload: the dtype code
  TooManyDimensions = 4,     // more than MAX_NDIM
  TooManyElements = 5,       // more than MAX_ELEMENTS, or a shape product overflow
  IntegrityMismatch = 6,     // a stored XXH3-64 checksum does not match its body
  TooManyBundleEntries = 7,  // more than MAX_BUNDLE_ENTRIES
  Other = 8,                 // payload: a static text
  BufferTooSmall = 9,        // the output span cannot hold the packet; nothing was written
  Malformed = 10,            // structurally invalid input or packet
  WriteFailed = 11,          // payload: the errno of a failed write (0: the output took no bytes)
};

inline constexpr int kErrorKindCount = 12;  // ErrorKind values are 0 to kErrorKindCount - 1

// An error value: returned inside Result/Status, never thrown.
struct CodecError {
  ErrorKind kind = ErrorKind::Malformed;
  uint8_t code = 0;            // UnsupportedVersion / UnknownDtype / WriteFailed payload
  const char* text = nullptr;  // Other payload; always a string literal

  friend bool operator==(const CodecError& a, const CodecError& b);  // same kind and payload
};

// An error of `kind`, with the version, dtype code or errno for the kinds that carry one.
constexpr CodecError make_error(ErrorKind kind, uint8_t code = 0) { return CodecError{kind, code, nullptr}; }
// An Other error; `text` must be a string literal (it is kept as a pointer).
constexpr CodecError other_error(const char* text) { return CodecError{ErrorKind::Other, 0, text}; }

// Fixed texts carried by ErrorKind::Other.
inline constexpr const char* kCompressedNeedsOwningPath = "compressed dense bodies require an owning decode path";
inline constexpr const char* kLz4EncodeFailed = "LZ4 frame encode failed";
inline constexpr const char* kLz4FinishFailed = "LZ4 frame finish failed";
inline constexpr const char* kLz4DecompressFailed = "LZ4 frame decompression failed";
// Model files (model_file.hpp): what a record reader and writer refuse.
inline constexpr const char* kModelNotARecord = "its first packet is not a model file's record";
inline constexpr const char* kModelRecordWrongTypes = "its record's entries have the wrong types or shapes";
inline constexpr const char* kModelLayoutUnsupported = "unsupported vakra model file layout";
inline constexpr const char* kModelFileSizeWrong = "the file is not as long as its record says";
inline constexpr const char* kModelRangeOutside = "its record places entries outside the file";
inline constexpr const char* kModelNameTwice = "a name appears twice in its record";
inline constexpr const char* kModelBodyShape = "a body's shape overflows: more than 2^64 elements or bytes";
inline constexpr const char* kModelBodyLength = "a body's range is not as long as its dtype and shape make it";
inline constexpr const char* kModelBodyMisaligned = "a body does not start at a multiple of 64 bytes";
inline constexpr const char* kModelEntryOrder = "model file entries follow the names, each tied only to an earlier one";

// The message template of a kind, with "{}" where the payload goes.
const char* error_template(ErrorKind kind);

// The full message of an error, payload substituted.
std::string error_message(const CodecError& error);

}  // namespace vakra
