// Model files: any number of named values in one file, each read on its own.
//
// A model file is a sequence of ordinary packets with nothing in between:
// 1. The record, a bundle of five checksummed entries: "format" (a string
//    tensor of one item, kModelFileFormat), "names" (a string tensor, in
//    saved order), "ranges" (uint64 [n, 2]: the file offset and exact length
//    of each name's packet), "metadata" (a string tensor of keys and values,
//    alternating) and "file_size" (uint64, 0-d: the file's exact length).
//    Its length depends only on the names, the metadata and the bodies
//    declared up front, so the writer writes it first and patches the ranges
//    and the size at the end. Version 2 ("vakra model file 2") follows the
//    five with optional fields, each at most once, in this order: "tree" (a
//    string tensor of one item, the skeleton of a checkpoint tree whose
//    tensors are the entries, in saved order), "bodies"
//    (model_bodies_internal.hpp). A file that needs none stays version 1.
// 2. The entries in saved order, as the children of bundles of at most 255
//    entries keyed by name; a packet too long for a slot's u32 length is a
//    top-level packet of its own. Names tied to an earlier one share its range.
//    A tensor too large for a packet (over MAX_ELEMENTS elements, or a
//    dimension beyond a u32) is a body instead: its raw C-order bytes at a
//    multiple of 64 (and of the alignment) in the file, its name's range
//    exactly those bytes, its dtype and shape in the record's "bodies". Such a
//    file is no longer a sequence of packets; it is read through its record.
// 3. Every packet that is not a compressed array or a string tensor starts at
//    a multiple of the alignment in the file, so bodies (aligned relative to
//    their packet) are aligned in the file and in a mapping of it; nested
//    bundles and sparse components alike. The padding is zero bytes at the
//    end of the slot before, inside the slot, which decoders skip; where no
//    slot can take it (after a compressed array, whose LZ4 frame runs to the
//    end of its slot) a filler packet (a uint8 vector of zeros, alignment 1)
//    stands between two top-level packets.
#pragma once

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
#include "vakra/dtype.hpp"
#include "vakra/plan.hpp"
#include "vakra/result.hpp"
#include "vakra/segments.hpp"

namespace vakra {

// The record's "format" item: the layout and its version.
inline constexpr std::string_view kModelFileFormat = "vakra model file 1";
// The format item of a record with optional fields after the five.
inline constexpr std::string_view kModelFileFormatV2 = "vakra model file 2";

// A tensor stored as a body: the raw bytes of one dense array, C order,
// little-endian, as long as its dtype and shape make it (model_body_length).
struct ModelBody {
  size_t entry = 0;              // the index of its name
  Dtype dtype = Dtype::Float32;  // a dense type
  std::vector<uint64_t> shape;   // outermost first, at most MAX_NDIM dimensions

  friend bool operator==(const ModelBody&, const ModelBody&) = default;
};

// Bytes of a body: element count times element size (packed types: whole
// units along the last dimension). Other kModelBodyShape when the count or
// the length overflows 64 bits or a dimension is above 2^63 - 1, Malformed
// for a shape a packed type cannot fill, UnknownDtype for a type without a
// dense body.
Result<uint64_t> model_body_length(Dtype dtype, std::span<const uint64_t> shape);

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
  // a name given twice (Other kModelNameTwice), bodies that are not in
  // increasing entry order within the names, of no dense type, of more than
  // MAX_NDIM dimensions or of no length (model_body_length's error). Entries
  // declared in `bodies` are written with write_body; a `tree` that is not
  // UTF-8 is Malformed. The output must outlive the writer.
  static Result<ModelFileWriter> start(ModelFileOutput& output, std::span<const std::string_view> names,
                                       std::span<const MetadataItem> metadata, size_t alignment,
                                       std::span<const ModelBody> bodies = {},
                                       std::optional<std::string_view> tree = std::nullopt);
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
  // Writes `bytes` as the body of the next name, which start() declared a
  // body: straight from that memory, which must stay unchanged and alive
  // until this returns. Malformed, nothing written, unless `bytes` is as
  // long as the declared dtype and shape make it.
  Status write_body(ByteView bytes);
  // Gives the next name the packet (or body) of entry `earlier` (tied
  // weights): a name declared a body only that of an earlier one of the
  // same dtype and shape, any other only a packet.
  Status tie_entry(size_t earlier);
  // After every name has its entry: patches the record's ranges and file
  // size, writes what is buffered and returns the file's length.
  Result<uint64_t> finish();

  size_t entries_written() const { return written_; }
  const std::optional<SlotOverflow>& slot_overflow() const { return overflow_; }

 private:
  ModelFileWriter(ModelFileOutput& output, size_t alignment, size_t names);

  Status write_record(std::span<const std::string_view> names, std::span<const MetadataItem> metadata,
                      std::optional<std::string_view> tree);
  Result<ByteRange> add(ByteView key, PacketPlan& plan, bool record_field);
  Result<ByteRange> add_packet(PacketPlan& plan);
  Status write_room(uint64_t slot_pad, uint64_t filler);
  Status close_bundle();
  Status emit(const PacketPlan& plan, bool owned);
  Status record_error(Status status);
  const ModelBody* body_of(size_t entry) const;

  size_t alignment_;
  std::vector<ModelBody> bodies_;  // declared at start, by entry
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
  // The entries stored as bodies, by entry: each range is then exactly the
  // body's bytes, checked against its dtype, shape and alignment.
  std::vector<ModelBody> bodies;
  // The "tree" field: a checkpoint tree's skeleton (the package reads its
  // nodes), UTF-8; a view of the file's bytes.
  std::optional<std::string_view> tree;

  // Where `name`'s packet (or body) lies; nullopt for a name the record does not hold.
  std::optional<ByteRange> find(std::string_view name) const;
  // The body of entry `entry`; nullptr when it is a packet.
  const ModelBody* body_of(size_t entry) const;

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
// (kModelRecordWrongTypes), the format is kModelFileFormat or
// kModelFileFormatV2 (kModelLayoutUnsupported), the file is as long as the
// record says (kModelFileSizeWrong), every range lies inside the file after
// the record (kModelRangeOutside), names and metadata are UTF-8
// (kModelRecordWrongTypes), no name appears twice (kModelNameTwice), then
// the optional fields of version 2: only known ones, in their order
// (kModelRecordWrongTypes), each sound (tree: one UTF-8 item,
// kModelRecordWrongTypes; bodies: kModelBody* texts). Views
// point into `file`.
Result<ModelRecord> read_model_record(ByteView file, RecordProgress* progress = nullptr);

}  // namespace vakra
