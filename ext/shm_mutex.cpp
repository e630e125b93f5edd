#include "shm_mutex.hpp"

#include <pthread.h>
#include <time.h>

#include <cerrno>
#include <cmath>
#include <optional>

namespace vakra::ext {
namespace {

constexpr uint32_t kNanosPerSecond = 1'000'000'000;

MutexError platform_error(std::string message) { return {MutexError::Kind::PlatformCall, std::move(message)}; }
MutexError invalid_timeout(const char* message) { return {MutexError::Kind::InvalidTimeout, message}; }

pthread_mutex_t* mutex_at(void* area) { return static_cast<pthread_mutex_t*>(area); }

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
  pthread_mutexattr_t attributes;
  if (pthread_mutexattr_init(&attributes) != 0) return platform_error("pthread_mutexattr_init failed");
  if (pthread_mutexattr_setpshared(&attributes, PTHREAD_PROCESS_SHARED) != 0) {
    pthread_mutexattr_destroy(&attributes);
    return platform_error("pthread_mutexattr_setpshared failed");
  }
  if (pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_ERRORCHECK) != 0) {
    pthread_mutexattr_destroy(&attributes);
    return platform_error("pthread_mutexattr_settype failed");
  }
  const int result = pthread_mutex_init(mutex_at(area), &attributes);
  pthread_mutexattr_destroy(&attributes);
  if (result != 0) return platform_error("pthread_mutex_init failed: " + std::to_string(result));
  return {};
}

MutexResult<bool> lock_mutex(void* area, Timeout timeout, KeepWaiting keep_waiting, void* context) {
  const std::optional<Instant> deadline = add_timeout(monotonic_now(), timeout);
  if (!deadline) return invalid_timeout("overflow when adding duration to instant");
  for (unsigned polls = 1;; ++polls) {
    const int result = pthread_mutex_trylock(mutex_at(area));
    if (result == 0) return false;
    if (result != EBUSY) {
      return MutexError{MutexError::Kind::LockNotTaken, "pthread_mutex_trylock failed: " + std::to_string(result)};
    }
    if (reached(monotonic_now(), *deadline)) {
      return MutexError{MutexError::Kind::LockNotTaken, "Mutex lock timed out after " + format_timeout(timeout)};
    }
    const bool slept = sleep_between_attempts();
    if ((!slept || polls % kHookPolls == 0) && !keep_waiting(context)) {
      return MutexError{MutexError::Kind::Interrupted, {}};
    }
  }
}

MutexStatus unlock_mutex(void* area) {
  const int result = pthread_mutex_unlock(mutex_at(area));
  if (result == EPERM) {
    return MutexError{MutexError::Kind::NotHolder,
                      "Mutex unlock refused: the calling thread does not hold it (it is free, or held by another "
                      "thread or process)"};
  }
  if (result != 0) return platform_error("pthread_mutex_unlock failed: " + std::to_string(result));
  return {};
}

MutexStatus destroy_mutex(void* area) {
  const int result = pthread_mutex_destroy(mutex_at(area));
  if (result != 0) return platform_error("pthread_mutex_destroy failed: " + std::to_string(result));
  return {};
}

}  // namespace vakra::ext
