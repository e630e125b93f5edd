#include "shm_mutex.hpp"

#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <optional>

namespace vakra::ext {
namespace {

constexpr uint32_t kNanosPerSecond = 1'000'000'000;

MutexError invalid_timeout(const char* message) { return {MutexError::Kind::InvalidTimeout, message}; }

// The area's words. A stray or hostile write can only make them wrong
// values, each of which is refused or taken for a holder.
constexpr uint32_t kMagic = 0x584D4B56;  // "VKMX" in little-endian bytes
constexpr uint32_t kVersion = 1;
constexpr size_t kMagicAt = 0, kVersionAt = 4, kOwnerAt = 8;
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free && std::atomic_ref<uint32_t>::is_always_lock_free,
              "the area's words are shared between processes: their atomics must not take a lock of their own");

std::atomic_ref<uint32_t> u32_at(void* area, size_t offset) {
  return std::atomic_ref<uint32_t>(*reinterpret_cast<uint32_t*>(static_cast<uint8_t*>(area) + offset));
}
std::atomic_ref<uint64_t> owner_of(void* area) {
  return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(static_cast<uint8_t*>(area) + kOwnerAt));
}

bool aligned(const void* area) { return reinterpret_cast<uintptr_t>(area) % kMutexAreaAlignment == 0; }

MutexError not_a_mutex(const void* area) {
  if (!aligned(area)) {
    return {MutexError::Kind::NotAMutex, "the mutex area must lie at an address that is a multiple of " +
                                             std::to_string(kMutexAreaAlignment) + " bytes"};
  }
  return {MutexError::Kind::NotAMutex,
          "the 64 bytes at this offset hold no vakra mutex: they were never initialised (shm_mutex_init, "
          "SharedMutex(..., create=True)), were destroyed, or were overwritten"};
}

// Whether the area holds a mutex init_mutex made; checked on every use, so
// an area destroyed or overwritten meanwhile is refused, never trusted.
bool holds_mutex(void* area) {
  return aligned(area) && u32_at(area, kMagicAt).load(std::memory_order_acquire) == kMagic &&
         u32_at(area, kVersionAt).load(std::memory_order_relaxed) == kVersion;
}

// The calling thread, among the threads of every process: never 0.
uint64_t caller_identity() {
  const auto process = static_cast<uint32_t>(getpid());
  const auto thread = static_cast<uint32_t>(syscall(SYS_gettid));
  return (uint64_t{process} << 32) | thread;
}

// One attempt: the holder's word from free to the caller.
bool try_take(void* area, uint64_t caller) {
  uint64_t free = 0;
  return owner_of(area).compare_exchange_strong(free, caller, std::memory_order_acquire, std::memory_order_relaxed);
}

// fraction · 10^9 rounded to the nearest integer, ties to even, for a fraction
// in [0, 1). The double is exactly mantissa · 2^-shift, so the product is an
// integer that a right shift divides without any rounding of its own.
uint32_t nanos_of_fraction(double fraction) {
  if (fraction == 0) return 0;
  int exponent = 0;
  const double normalized = std::frexp(fraction, &exponent);  // in [0.5, 1), exponent <= 0
  const auto mantissa = static_cast<uint64_t>(std::ldexp(normalized, 53));
  const int shift = 53 - exponent;
  if (shift >= 128) return 0;  // below 2^-75 seconds: far under half a nanosecond
  using u128 = unsigned __int128;
  const u128 product = u128{mantissa} * kNanosPerSecond;  // below 2^83
  auto nanos = static_cast<uint32_t>(product >> shift);
  const u128 remainder = product - (u128{nanos} << shift);
  const u128 half = u128{1} << (shift - 1);
  if (remainder > half || (remainder == half && (nanos & 1) != 0)) ++nanos;
  return nanos;  // may equal kNanosPerSecond after rounding up
}

// "<whole>[.<fraction>]<unit>", where `fraction` has `digits` decimal digits
// of which the trailing zeros are dropped.
std::string with_fraction(uint64_t whole, uint32_t fraction, size_t digits, const char* unit) {
  std::string text = std::to_string(whole);
  if (fraction != 0) {
    std::string fraction_digits = std::to_string(fraction);
    fraction_digits.insert(0, digits - fraction_digits.size(), '0');
    fraction_digits.erase(fraction_digits.find_last_not_of('0') + 1);
    text += '.';
    text += fraction_digits;
  }
  return text + unit;
}

// A reading of the monotonic clock, or a point in its future.
struct Instant {
  int64_t seconds;
  int64_t nanos;
};

Instant monotonic_now() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return {now.tv_sec, now.tv_nsec};
}

// `start` + `timeout`, or nothing when the seconds leave the signed 64-bit range.
std::optional<Instant> add_timeout(Instant start, Timeout timeout) {
  Instant deadline{};
  if (__builtin_add_overflow(start.seconds, timeout.seconds, &deadline.seconds)) return std::nullopt;
  deadline.nanos = start.nanos + timeout.nanos;
  if (deadline.nanos >= kNanosPerSecond) {
    deadline.nanos -= kNanosPerSecond;
    if (__builtin_add_overflow(deadline.seconds, 1, &deadline.seconds)) return std::nullopt;
  }
  return deadline;
}

bool reached(Instant now, Instant deadline) {
  return now.seconds > deadline.seconds || (now.seconds == deadline.seconds && now.nanos >= deadline.nanos);
}

// False when a signal cut the sleep short.
bool sleep_between_attempts() {
  const timespec pause{0, 50'000};
  return nanosleep(&pause, nullptr) == 0;
}

}  // namespace

MutexResult<Timeout> timeout_from_seconds(double seconds) {
  if (seconds < 0) return invalid_timeout("cannot convert float seconds to Duration: value is negative");
  // NaN fails every comparison, so it lands here with infinity and 2^64 and above.
  if (!(seconds < 0x1p64)) {
    return invalid_timeout("cannot convert float seconds to Duration: value is either too big or NaN");
  }
  const double whole = std::floor(seconds);
  Timeout timeout{static_cast<uint64_t>(whole), nanos_of_fraction(seconds - whole)};
  if (timeout.nanos == kNanosPerSecond) {  // a fraction exists only below 2^52, so this cannot wrap
    ++timeout.seconds;
    timeout.nanos = 0;
  }
  return timeout;
}

std::string format_timeout(Timeout timeout) {
  if (timeout.seconds > 0) return with_fraction(timeout.seconds, timeout.nanos, 9, "s");
  const uint32_t nanos = timeout.nanos;
  if (nanos >= 1'000'000) return with_fraction(nanos / 1'000'000, nanos % 1'000'000, 6, "ms");
  if (nanos >= 1'000) return with_fraction(nanos / 1'000, nanos % 1'000, 3, "\xC2\xB5s");  // µs, U+00B5 in UTF-8
  return std::to_string(nanos) + "ns";
}

MutexStatus init_mutex(void* area) {
  if (!aligned(area)) return not_a_mutex(area);
  // The magic last: a process that looks meanwhile sees no mutex yet, never a half-made one.
  u32_at(area, kMagicAt).store(0, std::memory_order_relaxed);
  std::memset(static_cast<uint8_t*>(area) + kVersionAt, 0, kMutexAreaSize - kVersionAt);
  u32_at(area, kVersionAt).store(kVersion, std::memory_order_relaxed);
  owner_of(area).store(0, std::memory_order_relaxed);
  u32_at(area, kMagicAt).store(kMagic, std::memory_order_release);
  return {};
}

MutexResult<bool> lock_mutex(void* area, Timeout timeout, KeepWaiting keep_waiting, void* context) {
  if (!holds_mutex(area)) return not_a_mutex(area);
  const std::optional<Instant> deadline = add_timeout(monotonic_now(), timeout);
  if (!deadline) return invalid_timeout("overflow when adding duration to instant");
  const uint64_t caller = caller_identity();
  for (unsigned polls = 1;; ++polls) {
    if (try_take(area, caller)) return false;
    if (reached(monotonic_now(), *deadline)) {
      return MutexError{MutexError::Kind::LockNotTaken, "Mutex lock timed out after " + format_timeout(timeout)};
    }
    const bool slept = sleep_between_attempts();
    if ((!slept || polls % kHookPolls == 0) && !keep_waiting(context)) {
      return MutexError{MutexError::Kind::Interrupted, {}};
    }
    if (!holds_mutex(area)) return not_a_mutex(area);  // destroyed or overwritten while we waited
  }
}

MutexStatus unlock_mutex(void* area) {
  if (!holds_mutex(area)) return not_a_mutex(area);
  uint64_t caller = caller_identity();
  if (!owner_of(area).compare_exchange_strong(caller, 0, std::memory_order_release, std::memory_order_relaxed)) {
    return MutexError{MutexError::Kind::NotHolder,
                      "Mutex unlock refused: the calling thread does not hold it (it is free, or held by another "
                      "thread or process)"};
  }
  return {};
}

MutexStatus destroy_mutex(void* area) {
  if (!holds_mutex(area)) return not_a_mutex(area);
  // vakra_rs's text for a held mutex, as pthread_mutex_destroy reported it (EBUSY).
  if (owner_of(area).load(std::memory_order_acquire) != 0) {
    return MutexError{MutexError::Kind::Busy, "pthread_mutex_destroy failed: 16"};
  }
  u32_at(area, kMagicAt).store(0, std::memory_order_release);
  std::memset(area, 0, kMutexAreaSize);
  return {};
}

}  // namespace vakra::ext
