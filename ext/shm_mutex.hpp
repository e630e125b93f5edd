// Process-shared POSIX mutexes placed in a caller's memory: initialisation,
// a polling lock with a deadline, unlock and destroy. No Python here: every
// operation returns its failure as a value and the entry routines raise it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <variant>

namespace vakra::ext {

// Bytes reserved for one mutex; the platform mutex object sits at its start.
inline constexpr size_t kMutexAreaSize = 64;

struct MutexError {
  enum class Kind {
    PlatformCall,    // a pthread call refused: RuntimeError
    LockNotTaken,    // deadline passed or trylock failed: TimeoutError
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

// The functions below take the address of a writable mutex area of
// kMutexAreaSize bytes; nothing checks what lies there.

// Initialises a process-shared, error-checking mutex: it knows its holder
// (a thread of any process), so an unlock by anyone else is refused instead
// of breaking the exclusion. It is not robust on purpose: a robust mutex is
// linked into its holder's list of robust mutexes through the shared memory
// itself, and the kernel walks that list when the holder exits, which is
// unsafe once the memory has been unmapped or reused.
MutexStatus init_mutex(void* area);

// Called while lock_mutex waits: after a sleep a signal cut short, and at
// least every kHookPolls polls. Returning false ends the wait with Interrupted.
using KeepWaiting = bool (*)(void* context);
inline constexpr unsigned kHookPolls = 20;  // about a millisecond of polling

// Takes the mutex, polling with pthread_mutex_trylock and 50 µs sleeps until
// the monotonic deadline now + timeout. One attempt is always made, so a zero
// timeout still takes a free mutex. The flag tells whether the previous owner
// died holding it; without the robust attribute that is never detected, so it
// is always false.
MutexResult<bool> lock_mutex(void* area, Timeout timeout, KeepWaiting keep_waiting, void* context);

// Refused with NotHolder when the calling thread does not hold the mutex
// (for a mutex made by init_mutex; older areas are not checked).
MutexStatus unlock_mutex(void* area);
MutexStatus destroy_mutex(void* area);

}  // namespace vakra::ext
