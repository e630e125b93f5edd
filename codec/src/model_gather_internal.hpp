// What a model file's writer has appended but not yet handed to its output:
// small pieces gathered into one buffer, and views of large bodies in the
// values' own memory (or in the segment lists holding their checksummed
// copies), handed over together in one append of about 4 MiB, or at the end
// of the entry whose memory the views point into. Bytes still gathered are
// patched in place; bytes handed over already, through the output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "vakra/model_file.hpp"
#include "vakra/segments.hpp"

namespace vakra::model {

class GatheredOutput {
 public:
  explicit GatheredOutput(ModelFileOutput& output) : output_(&output) {}

  uint64_t end() const { return end_; }  // the file offset after everything appended
  // `n` bytes at the end, for the caller to fill at once.
  MutableBytes grow(size_t n);
  void zeros(size_t n);
  void copy(ByteView bytes);
  // Appends the segments: large ones as views (the list is kept until the
  // next flush), the others copied.
  void segments(SegmentList&& list);
  // Appends a view of `bytes`, which must outlive the next flush.
  void view(ByteView bytes);
  bool holds_views() const { return viewing_; }

  Status patch(uint64_t offset, ByteView bytes);
  // Hands everything over.
  Status flush();
  // Hands everything over once about 4 MiB are gathered.
  Status flush_when_full();

 private:
  struct Run {
    uint64_t at = 0;           // file offset of its first byte
    size_t owned_offset = 0;   // in owned_, for a gathered run
    size_t length = 0;
    const uint8_t* view = nullptr;  // for a view
  };
  Run* owned_run_at_end();

  ModelFileOutput* output_;
  uint64_t start_ = 0;  // file offset of the first byte not handed over
  uint64_t end_ = 0;
  std::vector<uint8_t> owned_;
  std::vector<Run> runs_;  // in file order
  std::vector<SegmentList> lists_;
  bool viewing_ = false;  // a run views memory that is not the writer's
};

}  // namespace vakra::model
