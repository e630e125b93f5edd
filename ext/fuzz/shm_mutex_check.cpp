#include "shm_mutex_check.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../shm_mutex.hpp"

namespace vakra::ext::fuzz {
namespace {

#define AREA_CHECK(cond) ((cond) ? void() : check_failed(#cond, __LINE__))

[[noreturn]] void check_failed(const char* cond, int line) {
  std::fprintf(stderr, "shm mutex check failed: %s (line %d)\n", cond, line);
  std::abort();
}

constexpr uint32_t kMagic = 0x584D4B56;  // the words a mutex holds, as init_mutex writes them
constexpr uint32_t kVersion = 1;

uint64_t u64_at(const uint8_t* area, size_t offset) {
  uint64_t v;
  std::memcpy(&v, area + offset, sizeof v);
  return v;
}

// The calling thread's identity as the mutex records it: read back from an
// area it has locked.
uint64_t caller_identity() {
  alignas(8) uint8_t area[kMutexAreaSize];
  AREA_CHECK(init_mutex(area).ok() && lock_mutex(area, {}, [](void*) { return true; }, nullptr).ok());
  return u64_at(area, 8);
}

bool expect_kind(const MutexError& error, MutexError::Kind kind) { return error.kind == kind; }

// One step on `area`, its outcome checked against what the bytes before it call for.
void step(uint8_t* area, uint8_t op, uint64_t me) {
  uint8_t before[kMutexAreaSize];
  std::memcpy(before, area, sizeof before);
  const bool aligned = reinterpret_cast<uintptr_t>(area) % kMutexAreaAlignment == 0;
  const bool holds = aligned && u64_at(before, 0) == (uint64_t{kVersion} << 32 | kMagic);
  const uint64_t owner = u64_at(before, 8);
  const auto unchanged = [&] { return std::memcmp(area, before, sizeof before) == 0; };
  MutexError::Kind refused = MutexError::Kind::NotAMutex;
  bool done = false;
  switch (op % 4) {
    case 0: {
      const MutexResult<bool> locked = lock_mutex(area, {}, [](void*) { return true; }, nullptr);
      if (holds && owner != 0) refused = MutexError::Kind::LockNotTaken;
      done = holds && owner == 0;
      AREA_CHECK(locked.ok() == done && (done ? !locked.value() : expect_kind(locked.error(), refused)));
      if (done) std::memcpy(before + 8, &me, sizeof me);
      break;
    }
    case 1: {
      const MutexStatus unlocked = unlock_mutex(area);
      if (holds) refused = MutexError::Kind::NotHolder;
      done = holds && owner == me;
      AREA_CHECK(unlocked.ok() == done && (done || expect_kind(unlocked.error(), refused)));
      if (done) std::memset(before + 8, 0, 8);
      break;
    }
    case 2: {
      const MutexStatus destroyed = destroy_mutex(area);
      if (holds) refused = MutexError::Kind::Busy;
      done = holds && owner == 0;
      AREA_CHECK(destroyed.ok() == done && (done || expect_kind(destroyed.error(), refused)));
      if (done) std::memset(before, 0, sizeof before);
      break;
    }
    case 3: {
      const MutexStatus made = init_mutex(area);
      AREA_CHECK(made.ok() == aligned && (aligned || expect_kind(made.error(), refused)));
      if (aligned) {
        std::memset(before, 0, sizeof before);
        const uint64_t words = uint64_t{kVersion} << 32 | kMagic;
        std::memcpy(before, &words, sizeof words);
      }
      break;
    }
  }
  AREA_CHECK(unchanged());  // `before` now holds what the step must have left
}

}  // namespace

void check_shm_mutex_area(const uint8_t* data, size_t size) {
  static const uint64_t me = caller_identity();
  alignas(8) uint8_t storage[kMutexAreaSize + kMutexAreaAlignment] = {};
  const size_t taken = size < kMutexAreaSize ? size : kMutexAreaSize;
  const size_t misalign = size > kMutexAreaSize ? data[kMutexAreaSize] % 8 : 0;
  uint8_t* area = storage + misalign;
  std::memcpy(area, data, taken);
  for (size_t at = kMutexAreaSize + 1; at < size; ++at) {
    const uint8_t op = data[at];
    if (op % 5 == 4 && at + 9 < size) {
      // A peer's write of 8 bytes at any place in the area (wrapping).
      const size_t place = data[++at];
      for (size_t i = 0; i < 8; ++i) area[(place + i) % kMutexAreaSize] = data[++at];
      continue;
    }
    step(area, op, me);
  }
}

}  // namespace vakra::ext::fuzz
