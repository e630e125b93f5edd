// Model files: any number of named values in one file, each read on its own.
//
// A model file is a sequence of ordinary packets with nothing in between:
// 1. The record, a bundle of five checksummed entries: "format" (a string
//    tensor of one item, kModelFileFormat), "names" (a string tensor, in
//    saved order), "ranges" (uint64 [n, 2]: the file offset and exact length
//    of each name's packet), "metadata" (a string tensor of keys and values,
//    alternating) and "file_size" (uint64, 0-d: the file's exact length).
//    Its length depends only on the names and the metadata, so the writer
//    writes it first and patches the ranges and the size at the end.
//    A file that needs more says kModelFileFormatWithFields and has the
//    optional fields it uses after the five, in the order of
//    kRecordOptionalKeys: "tree" (a string tensor of one item, the skeleton
//    of a checkpoint tree whose tensors are the entries, in saved order).
// 2. The entries in saved order, as the children of bundles of at most 255
//    entries keyed by name; a packet too long for a slot's u32 length is a
//    top-level packet of its own. Names tied to an earlier one share its range.
// 3. Every packet that is not a compressed array or a string tensor starts at
//    a multiple of the alignment in the file, so bodies (aligned relative to
//    their packet) are aligned in the file and in a mapping of it; nested
//    bundles and sparse components alike. The padding is zero bytes at the
//    end of the slot before, inside the slot, which decoders skip; where no
//    slot can take it (after a compressed array, whose LZ4 frame runs to the
//    end of its slot) a filler packet (a uint8 vector of zeros, alignment 1)
//    stands between two top-level packets.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "vakra/bytes.hpp"
#include "vakra/plan.hpp"
#include "vakra/result.hpp"
#include "vakra/segments.hpp"

namespace vakra {

// The record's "format" item: the layout and its version.
inline constexpr std::string_view kModelFileFormat = "vakra model file 1";
// The format of a record with optional fields after its five.
inline constexpr std::string_view kModelFileFormatWithFields = "vakra model file 2";

// What a record holds beyond its five fields; a file without any keeps the
// first layout, byte for byte.
struct RecordFields {
  std::optional<std::string_view> tree;  // UTF-8, kept as it is given
};
// The keys of the optional fields, in the order a record holds them.
inline constexpr std::array<std::string_view, 1> kRecordOptionalKeys = {"tree"};

// The largest alignment a model file is written with (the package's bound
// too): a slot's padding always fits its u32 length, and the zeros of the
// longest filler are a small constant of the library, not a gigabyte of it.
inline constexpr size_t kMaxModelAlignment = size_t{1} << 16;

// A metadata item: key and value, UTF-8.
using MetadataItem = std::pair<std::string_view, std::string_view>;

// Where a model file's bytes go: appended in order, and bytes appended
// earlier overwritten in place.
class ModelFileOutput {
 public:
  virtual ~ModelFileOutput() = default;
  // Appends the pieces, in order, after everything appended so far.
  virtual Status append(std::span<const ByteView> pieces) = 0;
  // Overwrites bytes appended earlier, from `offset` (counted from the first byte appended).
  virtual Status patch(uint64_t offset, ByteView bytes) = 0;
};

// A file descriptor open for writing (not O_APPEND), written with pwritev(2)
// and pwrite(2) from offset `start` on; its own offset is left alone. A
// failed call is WriteFailed carrying errno (0: a call took no bytes).
class DescriptorOutput : public ModelFileOutput {
 public:
  explicit DescriptorOutput(int fd, uint64_t start = 0) : fd_(fd), start_(start), end_(start) {}
  Status append(std::span<const ByteView> pieces) override;
  Status patch(uint64_t offset, ByteView bytes) override;

 protected:
  // Called when a signal interrupts a call (EINTR): true retries it, false
  // ends the write with WriteFailed(EINTR).
  virtual bool resume_after_signal() { return true; }

 private:
  int fd_;
  uint64_t start_;
  uint64_t end_;  // where the next append goes
};

// Where a child too long for its slot lies (write_entry's Malformed): bundle
// entry and sparse component indices from the entry's value down, and the
// child's length with its padding.
struct SlotOverflow {
  std::vector<size_t> path;
  uint64_t length = 0;
};

namespace model {
class GatheredOutput;
}

// Writes a model file: the record first, then each name's entry in turn, one
// value at a time. Bodies of 1 MiB or more go to the output straight from
// the values' memory (checksummed ones from the copy they are hashed in);
// everything else is gathered into writes of about 4 MiB. After an output
// error the writer refuses every further call with that error.
class ModelFileWriter {
 public:
  // Validates everything, then writes the record (or buffers it). Refused,
  // with nothing written: an alignment that is not a power of two or is above
  // kMaxModelAlignment, names or metadata that are not UTF-8 (Malformed), and
  // a name given twice (Other kModelNameTwice), optional fields that are not
  // UTF-8 (Malformed). The output must outlive the writer.
  static Result<ModelFileWriter> start(ModelFileOutput& output, std::span<const std::string_view> names,
                                       std::span<const MetadataItem> metadata, size_t alignment,
                                       const RecordFields& fields = {});
  ModelFileWriter(ModelFileWriter&&) noexcept;
  ModelFileWriter& operator=(ModelFileWriter&&) noexcept;
  ~ModelFileWriter();

  // Writes `value` as the entry of the next name. Plan it with the writer's
  // alignment: the writer aligns each packet's start, and the packet aligns
  // its body. The writer sets the plan's pads (and plans sparse components
  // again at an alignment above 64), so the plan is the writer's while it
  // runs; the memory it views must stay unchanged and alive until it returns.
  // Malformed for a child of a bundle or sparse matrix that its padding makes
  // 4 GiB or longer (slot_overflow() says which), nothing written.
  Status write_entry(PacketPlan& value);
  // Gives the next name the packet of entry `earlier` (tied weights).
  Status tie_entry(size_t earlier);
  // After every name has its entry: patches the record's ranges and file
  // size, writes what is buffered and returns the file's length.
  Result<uint64_t> finish();

  size_t entries_written() const { return written_; }
  const std::optional<SlotOverflow>& slot_overflow() const { return overflow_; }

 private:
  ModelFileWriter(ModelFileOutput& output, size_t alignment, size_t names);

  Status write_record(std::span<const std::string_view> names, std::span<const MetadataItem> metadata,
                      const RecordFields& fields);
  Result<ByteRange> add(ByteView key, PacketPlan& plan, bool record_field);
  Result<ByteRange> add_packet(PacketPlan& plan);
  Status write_room(uint64_t slot_pad, uint64_t filler);
  Status close_bundle();
  Status emit(const PacketPlan& plan, bool owned);
  Status record_error(Status status);

  size_t alignment_;
  std::vector<uint64_t> ranges_;        // offset and length per name: the record's "ranges" body
  std::vector<uint64_t> name_offsets_;  // the names' UTF-8 bytes in name_bytes_, as the record's string tensor
  std::vector<uint8_t> name_bytes_;
  size_t written_ = 0;  // names that have their entry
  uint64_t ranges_at_ = 0, file_size_at_ = 0;  // where the record's two patched packets lie
  // The last child written, whose slot may still take padding: where its u32 length lies, and that length.
  std::optional<uint64_t> last_slot_at_;
  uint32_t last_slot_length_ = 0;
  std::optional<uint64_t> bundle_count_at_;  // the open bundle's entry count byte
  uint8_t bundle_count_ = 0;
  std::optional<SlotOverflow> overflow_;
  std::optional<CodecError> failed_;
  std::unique_ptr<model::GatheredOutput> pending_;  // what is appended but not yet handed to the output
};

struct RecordProgress;

// A model file's record, read and checked against the whole file.
struct ModelRecord {
  std::vector<std::string_view> names;  // in saved order; views of the file's bytes
  std::vector<ByteRange> ranges;        // ranges[i]: where names[i]'s packet lies in the file
  std::vector<std::pair<std::string_view, std::string_view>> metadata;  // in saved order; views of the file's bytes
  size_t length = 0;  // the record's own length: every range starts at or after it
  RecordFields fields;  // the optional fields; views of the file's bytes

  // Where `name`'s packet lies; nullopt for a name the record does not hold.
  std::optional<ByteRange> find(std::string_view name) const;

 private:
  friend Result<ModelRecord> read_model_record(ByteView file, RecordProgress* progress);
  // An open-addressing table of the names: index + 1 of the name hashed
  // there, 0 for an empty slot; a power of two, at least twice the names.
  std::vector<uint32_t> index_;
  // The slot of `name`: where it is, or the empty one it would take.
  size_t slot_of(std::string_view name) const;
};

// How far the reading of a refused record got, for a caller that words the
// refusal itself: an error before record_length is set came from walking the
// first packet; after it, one that is not a kModel* text came from decoding it.
struct RecordProgress {
  size_t record_length = 0;          // set once the first packet walked as a record
  std::optional<std::string> format;  // the format item, when "format" holds exactly one
  uint64_t file_size = 0;            // the length the record claims, once read
};

// Reads the record at the start of `file`, a whole model file, and checks it
// in this order: the first packet walks (its walker's error) and is framed as
// a record (kModelNotARecord), decodes (the decoder's error, checksums
// verified), its entries are of the right kinds and shapes
// (kModelRecordWrongTypes), the format is kModelFileFormat with the five
// fields alone or kModelFileFormatWithFields with known optional fields in
// their order (kModelLayoutUnsupported), each optional field is of its kind
// (kModelRecordWrongTypes), the file is as long as the record says
// (kModelFileSizeWrong), every range lies inside the file after the record
// (kModelRangeOutside), names and metadata are UTF-8 (kModelRecordWrongTypes),
// no name appears twice (kModelNameTwice). Views point into `file`.
Result<ModelRecord> read_model_record(ByteView file, RecordProgress* progress = nullptr);

}  // namespace vakra
