// Ending a long computation early, from outside the core.
//
// The core knows nothing of what may want to stop it (a signal, a deadline);
// its caller passes an Interrupt whose check the engines run about every
// millisecond of work.  The check ends the computation by throwing, and the
// engines, which hold everything they build in owning containers, leave
// nothing behind.
#pragma once

#include <optional>
#include <type_traits>

#include "check.h"
#include "function_ref.h"

namespace palimp {

class Interrupt {
 public:
  // Never interrupts.
  Interrupt() = default;
  // Runs check() (which may throw) when polled; `check` must outlive this,
  // so it is taken only as an lvalue.
  template <class F>
    requires std::is_invocable_v<F&>
  explicit Interrupt(F& check) : check_(FunctionRef<void()>(check)) {}

  void poll() const {
    if (check_) (*check_)();
  }

 private:
  std::optional<FunctionRef<void()>> check_;
};

// The work that the engines count on a WorkMeter, in units of about a
// nanosecond each, so that kPeriod units are about a millisecond.  The costs
// come from profiles of the benchmark's corpora on a 2-core Xeon: a window
// filed in a table larger than the caches costs 12 to 35 ns, a probe of a
// small one a few, a position of the capped engine about 15, a candidate
// examined about 10 plus the symbols it compares.  A count that is off by a
// few times only moves the poll between a fraction of a millisecond and a
// few milliseconds.
namespace work_units {

inline constexpr u64 kCountEvery = u64{1} << 12;  // loop steps between two counts in hot loops
inline constexpr u64 kWindowFiled = 32;           // a window filed in a table
inline constexpr u64 kProbe = 4;                  // a probe of a small table, or a window sampled
inline constexpr u64 kLookup = 8;                 // a position looked up by the exact engine
inline constexpr u64 kPosition = 16;              // a position scanned by the capped engine
inline constexpr u64 kCandidate = 16;             // a candidate place examined
inline constexpr u64 kSymbolsPerUnit = 4;         // symbols compared or copied per unit
// What the result builders and the Python bindings count, from the
// interrupt latency benchmark's calls on the same machine: a segment of
// segments() costs about 35 ns with its share of the lists, an int of a
// rendered list about 10, a piece rendered into text about 12, a token
// decoded about 15; a piece's byte offsets take a few ns in ASCII text and
// a scan of up to 64 characters in other text.
inline constexpr u64 kPythonObject = 32;  // a Python object made, or an item converted from one
inline constexpr u64 kPiece = 16;         // a piece of a segment list walked
inline constexpr u64 kToken = 16;         // a token of a tokenizer encoded or decoded
// The most symbols copied, or Python objects made, between two counts, so
// that one long literal or message is no unmetered stretch.
inline constexpr u64 kCopyChunk = u64{1} << 20;
inline constexpr u64 kObjectChunk = u64{1} << 12;

}  // namespace work_units

// Counts work in work_units and polls an Interrupt once per kPeriod units,
// so that a pending interruption is seen within a millisecond or so of work,
// at the cost of an addition per count.
class WorkMeter {
 public:
  static constexpr u64 kPeriod = u64{1} << 20;

  explicit WorkMeter(const Interrupt& interrupt) : interrupt_(interrupt) {}
  void add(u64 units) {
    count_ += units;
    if (count_ >= kPeriod) {
      count_ = 0;
      interrupt_.poll();
    }
  }

 private:
  const Interrupt& interrupt_;
  u64 count_ = 0;
};

}  // namespace palimp
