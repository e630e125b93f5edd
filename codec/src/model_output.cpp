// DescriptorOutput: a model file's bytes to a file descriptor, by position,
// partial writes continued.
#include <limits.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "vakra/model_file.hpp"

namespace vakra {
namespace {

// Never more ranges per call than the system takes, nor more bytes than a 32-bit count.
constexpr size_t kMaxRangesPerCall = IOV_MAX < 1024 ? IOV_MAX : 1024;
constexpr size_t kMaxBytesPerCall = INT_MAX;

CodecError write_failed(int error) { return make_error(ErrorKind::WriteFailed, static_cast<uint8_t>(std::min(error, 255))); }

}  // namespace

Status DescriptorOutput::append(std::span<const ByteView> pieces) {
  std::vector<iovec> vectors;
  size_t first = 0;   // the first piece not fully written
  size_t offset = 0;  // bytes of it written already
  while (first < pieces.size()) {
    if (pieces[first].size() == offset) {  // empty pieces, and the end of a written one
      ++first;
      offset = 0;
      continue;
    }
    vectors.clear();
    size_t budget = kMaxBytesPerCall;
    for (size_t i = first; i < pieces.size() && budget > 0 && vectors.size() < kMaxRangesPerCall; ++i) {
      const size_t skip = i == first ? offset : 0;
      const size_t length = std::min(pieces[i].size() - skip, budget);
      if (length == 0) continue;
      vectors.push_back({const_cast<uint8_t*>(pieces[i].data() + skip), length});
      budget -= length;
    }
    const ssize_t n = ::pwritev(fd_, vectors.data(), static_cast<int>(vectors.size()), static_cast<off_t>(end_));
    if (n < 0 && errno == EINTR) {
      if (resume_after_signal()) continue;
      return write_failed(EINTR);
    }
    if (n < 0) return write_failed(errno);
    if (n == 0) return write_failed(0);
    end_ += static_cast<uint64_t>(n);
    for (size_t left = static_cast<size_t>(n); left > 0;) {
      const size_t step = std::min(left, pieces[first].size() - offset);
      offset += step;
      left -= step;
      if (offset == pieces[first].size()) {
        ++first;
        offset = 0;
      }
    }
  }
  return {};
}

Status DescriptorOutput::patch(uint64_t offset, ByteView bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::pwrite(fd_, bytes.data(), std::min(bytes.size(), kMaxBytesPerCall),
                               static_cast<off_t>(start_ + offset));
    if (n < 0 && errno == EINTR) {
      if (resume_after_signal()) continue;
      return write_failed(EINTR);
    }
    if (n < 0) return write_failed(errno);
    if (n == 0) return write_failed(0);
    bytes = bytes.subspan(static_cast<size_t>(n));
    offset += static_cast<uint64_t>(n);
  }
  return {};
}

}  // namespace vakra
