#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <vector>

#include "body_copy_internal.hpp"
#include "hash_internal.hpp"
#include "thread_pool_internal.hpp"

namespace vakra::parallel {
namespace {

// Small bodies are copied and hashed in pieces this size, so each piece is
// hashed while it is still in cache right after being written.
constexpr size_t kHashPiece = size_t{128} << 10;

// Large bodies are split into chunks that start at multiples of the chunk
// size in the destination's address space, so with transparent huge pages
// no two threads fault in the same 2 MiB page.
constexpr size_t kLargeChunk = size_t{2} << 20;
constexpr size_t kSmallChunk = size_t{256} << 10;

// One memcpy of hundreds of MiB takes glibc's non-temporal path (from three
// quarters of the last-level cache it is told of), which into fresh pages ran
// 1.5x slower than plain stores on a 2-core EPYC VM: the kernel has just
// zeroed those pages through the cache. Copies of one thread go in pieces
// well below any such threshold.
void copy_plain(uint8_t* destination, ByteView source) {
  for (size_t done = 0; done < source.size();) {
    const size_t n = std::min(kLargeChunk, source.size() - done);
    std::memcpy(destination + done, source.data() + done, n);
    done += n;
  }
}

void copy_and_hash(uint8_t* destination, ByteView source, hash::Xxh3Stream& stream) {
  for (size_t done = 0; done < source.size();) {
    const size_t n = std::min(kHashPiece, source.size() - done);
    std::memcpy(destination + done, source.data() + done, n);
    stream.update({destination + done, n});
    done += n;
  }
}

void copy_alone(const BodyCopy& body) {
  const size_t size = body.source.size();
  if (body.stream != nullptr) {
    copy_and_hash(body.destination, body.source, *body.stream);
    return;
  }
  if (body.digest != nullptr && size > kHashPiece) {
    hash::Xxh3Stream stream;
    copy_and_hash(body.destination, body.source, stream);
    *body.digest = stream.digest();
    return;
  }
  copy_plain(body.destination, body.source);
  if (body.digest != nullptr) *body.digest = hash::xxh3({body.destination, size});
}

// One body split into chunks. Chunks are claimed through `next` by whoever
// comes first; a hashed body also has a walker that hashes the chunks in
// order, copying any it reaches before anyone else has.
class ChunkedBody {
 public:
  explicit ChunkedBody(const BodyCopy& body, size_t total_bytes) : body_(body) {
    const size_t size = body.source.size();
    chunk_ = total_bytes >= 8 * kLargeChunk ? kLargeChunk : kSmallChunk;
    const auto address = reinterpret_cast<uintptr_t>(body.destination);
    first_ = std::min(size, chunk_ - address % chunk_);
    chunks_ = size == 0 ? 0 : 1 + (size - first_ + chunk_ - 1) / chunk_;
    if (hashed()) done_ = std::make_unique<std::atomic<bool>[]>(chunks_);
    if (body.digest != nullptr && body.stream == nullptr) stream_ = std::make_unique<hash::Xxh3Stream>();
  }

  size_t chunks() const { return chunks_; }
  bool hashed() const { return body_.digest != nullptr || body_.stream != nullptr; }
  // The stream its walker feeds: its own, or the one it shares with other bodies.
  hash::Xxh3Stream* stream() const { return body_.stream != nullptr ? body_.stream : stream_.get(); }

  // Copies one unclaimed chunk, if any is left.
  void copy_next() {
    const size_t chunk = next_.fetch_add(1, std::memory_order_relaxed);
    if (chunk < chunks_) copy_chunk(chunk);
  }

  // Hashes the chunks in order; runs on exactly one thread, after the walks
  // of the bodies before it that feed the same stream.
  void walk() {
    for (size_t chunk = 0; chunk < chunks_; ++chunk) {
      while (!done_[chunk].load(std::memory_order_acquire)) {
        const size_t claimed = next_.fetch_add(1, std::memory_order_relaxed);
        if (claimed < chunks_) {
          copy_chunk(claimed);
        } else {
          done_[chunk].wait(false, std::memory_order_acquire);
        }
      }
      const auto [begin, length] = range(chunk);
      stream()->update({body_.destination + begin, length});
    }
    if (body_.stream == nullptr) *body_.digest = stream_->digest();
  }

 private:
  std::pair<size_t, size_t> range(size_t chunk) const {
    if (chunk == 0) return {0, first_};
    const size_t begin = first_ + (chunk - 1) * chunk_;
    return {begin, std::min(chunk_, body_.source.size() - begin)};
  }

  void copy_chunk(size_t chunk) {
    const auto [begin, length] = range(chunk);
    std::memcpy(body_.destination + begin, body_.source.data() + begin, length);
    if (done_) {
      done_[chunk].store(true, std::memory_order_release);
      done_[chunk].notify_all();
    }
  }

  BodyCopy body_;
  size_t chunk_ = kSmallChunk;
  size_t first_ = 0;
  size_t chunks_ = 0;
  std::atomic<size_t> next_{0};
  std::unique_ptr<std::atomic<bool>[]> done_;
  std::unique_ptr<hash::Xxh3Stream> stream_;
};

}  // namespace

void copy_bodies(std::span<const BodyCopy> bodies) {
  size_t total = 0;
  for (const BodyCopy& body : bodies) total += body.source.size();
  if (total < kMinParallelMemory || num_threads() == 1) {
    for (const BodyCopy& body : bodies) copy_alone(body);
    return;
  }
  // Tasks: first one walker per stream (walking its bodies in order), then
  // one copy per chunk.
  std::vector<std::vector<ChunkedBody*>> walkers;
  std::vector<ChunkedBody*> chunk_owner;
  std::vector<std::unique_ptr<ChunkedBody>> chunked;
  chunked.reserve(bodies.size());
  for (const BodyCopy& body : bodies) {
    chunked.push_back(std::make_unique<ChunkedBody>(body, total));
    ChunkedBody* split = chunked.back().get();
    if (split->hashed()) {
      auto shared = std::ranges::find_if(walkers, [&](const auto& walk) { return walk.front()->stream() == split->stream(); });
      if (shared == walkers.end()) {
        walkers.push_back({split});
      } else {
        shared->push_back(split);
      }
    }
    chunk_owner.insert(chunk_owner.end(), split->chunks(), split);
  }
  for_each(walkers.size() + chunk_owner.size(), [&](size_t task) {
    if (task < walkers.size()) {
      for (ChunkedBody* body : walkers[task]) body->walk();
    } else {
      chunk_owner[task - walkers.size()]->copy_next();
    }
  });
}

void hash_bodies(std::span<const ByteView> bodies, std::span<uint64_t> digests) {
  size_t total = 0;
  for (const ByteView& body : bodies) total += body.size();
  const auto hash_one = [&](size_t i) { digests[i] = hash::xxh3(bodies[i]); };
  if (bodies.size() < 2 || total < kMinParallelMemory) {
    for (size_t i = 0; i < bodies.size(); ++i) hash_one(i);
    return;
  }
  for_each(bodies.size(), hash_one);
}

}  // namespace vakra::parallel
