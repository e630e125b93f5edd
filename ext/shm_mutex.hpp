// A mutex of vakra's own placed in a caller's shared memory: initialisation,
// a polling lock with a deadline, unlock and destroy. The area holds plain
// words only (a magic, a version and the holder's identity, changed with
// compare-and-swap), so nothing that another process writes into it can
// select code paths or pointers in this one: an area that holds no such
// mutex is refused. No Python here: every operation returns its failure as
// a value and the entry routines raise it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace vakra::ext {

// Bytes reserved for one mutex, at an address that is a multiple of
// kMutexAreaAlignment: a u32 magic, a u32 version and the u64 identity of
// the holder (0: free); the rest is reserved and stays zero.
inline constexpr size_t kMutexAreaSize = 64;
inline constexpr size_t kMutexAreaAlignment = 8;

struct MutexError {
  enum class Kind {
    Busy,            // destroying a held mutex: RuntimeError
    NotAMutex,       // the area holds no mutex of this kind, or is misaligned: ValueError
    LockNotTaken,    // the deadline passed: TimeoutError
    InvalidTimeout,  // the timeout cannot become a deadline: ValueError
    NotHolder,       // unlock by a thread that does not hold the mutex: RuntimeError
    Interrupted,     // the caller's hook ended the wait; it has set what ended it
  };
  Kind kind;
  std::string message;
};

// A value or the MutexError that prevented it.
template <class T>
class [[nodiscard]] MutexResult {
 public:
  MutexResult() = default;
  MutexResult(T value) : state_(std::in_place_index<0>, std::move(value)) {}          // NOLINT: implicit by design
  MutexResult(MutexError error) : state_(std::in_place_index<1>, std::move(error)) {}  // NOLINT: implicit by design

  bool ok() const { return state_.index() == 0; }
  const T& value() const { return std::get<0>(state_); }
  const MutexError& error() const { return std::get<1>(state_); }

 private:
  std::variant<T, MutexError> state_;
};
using MutexStatus = MutexResult<std::monostate>;

// A lock timeout with nanosecond resolution. Its seconds may exceed what can
// be added to the clock; lock_mutex reports that as an error.
struct Timeout {
  uint64_t seconds = 0;
  uint32_t nanos = 0;  // below 1'000'000'000
};

// Float seconds rounded to the nearest nanosecond (ties to even). Negative
// values, NaN, infinities and 2^64 seconds or more are refused (-0.0 is 0).
MutexResult<Timeout> timeout_from_seconds(double seconds);

// "5s", "2.5s", "250ms", "1.5ms", "10µs", "0ns": the largest unit that the
// timeout reaches, with the remainder as a fraction without trailing zeros.
std::string format_timeout(Timeout timeout);

// The functions below take the address of a writable area of
// kMutexAreaSize bytes, which they check before anything else: NotAMutex
// when it is not kMutexAreaAlignment-aligned or (all but init_mutex) does
// not start with the magic and version init_mutex writes.

// Makes the area a free mutex, whatever it held (also a mutex in use: only
// a supervisor that knows nobody uses it re-initialises one).
MutexStatus init_mutex(void* area);

// Called while lock_mutex waits: after a sleep a signal cut short, and at
// least every kHookPolls polls. Returning false ends the wait with Interrupted.
using KeepWaiting = bool (*)(void* context);
inline constexpr unsigned kHookPolls = 20;  // about a millisecond of polling

// Takes the mutex for the calling thread, polling with compare-and-swap and
// 50 µs sleeps until the monotonic deadline now + timeout. One attempt is
// always made, so a zero timeout still takes a free mutex; a mutex the
// caller holds already is busy as any other. The flag tells whether the
// previous holder died holding it, which is never detected (a dead holder
// keeps it), so it is always false.
MutexResult<bool> lock_mutex(void* area, Timeout timeout, KeepWaiting keep_waiting, void* context);

// Frees the mutex; NotHolder, the area unchanged, when the calling thread
// does not hold it.
MutexStatus unlock_mutex(void* area);
// Returns the area to plain zero bytes; Busy while the mutex is held.
MutexStatus destroy_mutex(void* area);

}  // namespace vakra::ext
