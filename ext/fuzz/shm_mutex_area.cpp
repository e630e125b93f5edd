// The shared-mutex area under arbitrary bytes. Input: up to 64 bytes of
// area, one byte whose low bits misalign it, then steps: lock with no time to
// wait, unlock, destroy, init, or a peer's write of 8 bytes anywhere in the
// area. Each step's outcome and the bytes it leaves are checked against what
// the area's bytes called for; a broken property aborts. Built as a libFuzzer
// harness (SHM_MUTEX_FUZZER) or as a driver replaying a corpus directory.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <vector>

#include "../shm_mutex.hpp"

namespace vakra::ext {
namespace {

#define AREA_CHECK(cond) ((cond) ? void() : (std::fprintf(stderr, "shm mutex check failed: %s\n", #cond), std::abort()))

constexpr uint64_t kSoundWords = uint64_t{1} << 32 | 0x584D4B56;  // version 1, magic "VKMX", as init_mutex writes them
bool keep_waiting(void*) { return true; }

uint64_t u64_at(const uint8_t* area, size_t offset) {
  uint64_t v;
  std::memcpy(&v, area + offset, sizeof v);
  return v;
}

// The calling thread's identity as the mutex records it, read back from an area it locked.
uint64_t caller_identity() {
  alignas(8) uint8_t area[kMutexAreaSize];
  AREA_CHECK(init_mutex(area).ok() && lock_mutex(area, {}, keep_waiting, nullptr).ok());
  return u64_at(area, 8);
}

void step(uint8_t* area, uint8_t op, uint64_t me) {
  uint8_t expected[kMutexAreaSize];  // what the step must leave
  std::memcpy(expected, area, sizeof expected);
  const bool aligned = reinterpret_cast<uintptr_t>(area) % kMutexAreaAlignment == 0;
  const bool holds = aligned && u64_at(area, 0) == kSoundWords;
  const uint64_t owner = u64_at(area, 8), freed = 0;
  using Kind = MutexError::Kind;
  std::optional<Kind> refusal = holds ? std::nullopt : std::optional(Kind::NotAMutex);
  MutexStatus status;
  switch (op % 4) {
    case 0: {
      const MutexResult<bool> locked = lock_mutex(area, {}, keep_waiting, nullptr);
      AREA_CHECK(!locked.ok() || !locked.value());  // a dead holder is never reported
      if (!locked.ok()) status = locked.error();
      if (holds && owner != 0) refusal = Kind::LockNotTaken;
      if (!refusal) std::memcpy(expected + 8, &me, 8);
      break;
    }
    case 1:
      status = unlock_mutex(area);
      if (holds && owner != me) refusal = Kind::NotHolder;
      if (!refusal) std::memcpy(expected + 8, &freed, 8);
      break;
    case 2:
      status = destroy_mutex(area);
      if (holds && owner != 0) refusal = Kind::Busy;
      if (!refusal) std::memset(expected, 0, sizeof expected);
      break;
    default:
      status = init_mutex(area);
      refusal = aligned ? std::nullopt : std::optional(Kind::NotAMutex);
      if (!refusal) std::memset(expected, 0, sizeof expected), std::memcpy(expected, &kSoundWords, 8);
  }
  AREA_CHECK(status.ok() == !refusal && (status.ok() || status.error().kind == *refusal));
  AREA_CHECK(std::memcmp(area, expected, sizeof expected) == 0);
}

}  // namespace

void check_shm_mutex_area(const uint8_t* data, size_t size) {
  static const uint64_t me = caller_identity();
  alignas(8) uint8_t storage[kMutexAreaSize + kMutexAreaAlignment] = {};
  uint8_t* area = storage + (size > kMutexAreaSize ? data[kMutexAreaSize] % kMutexAreaAlignment : 0);
  std::memcpy(area, data, size < kMutexAreaSize ? size : kMutexAreaSize);
  for (size_t at = kMutexAreaSize + 1; at < size; ++at) {
    if (data[at] % 5 != 4 || at + 9 >= size) {
      step(area, data[at], me);
      continue;
    }
    const size_t place = data[++at];  // a peer's write, wrapping around the area's end
    for (size_t i = 0; i < 8; ++i) area[(place + i) % kMutexAreaSize] = data[++at];
  }
}

}  // namespace vakra::ext

#ifdef SHM_MUTEX_FUZZER
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  vakra::ext::check_shm_mutex_area(data, size);
  return 0;
}
#else
// usage: shm_mutex_regression <corpus directory>
int main(int argc, char** argv) {
  size_t replayed = 0;
  for (const auto& path : std::filesystem::directory_iterator(argc > 1 ? argv[1] : ".")) {
    std::vector<uint8_t> bytes(std::filesystem::file_size(path));  // exactly sized, as libFuzzer passes it
    std::ifstream(path.path(), std::ios::binary).read(reinterpret_cast<char*>(bytes.data()), bytes.size());
    vakra::ext::check_shm_mutex_area(bytes.data(), bytes.size());
    ++replayed;
  }
  std::printf("shm_mutex: replayed %zu inputs\n", replayed);
  return replayed > 0 ? 0 : 1;
}
#endif
