// Ending a long computation early, from outside the core.
//
// The core knows nothing of what may want to stop it (a signal, a deadline);
// its caller passes an Interrupt whose check the engines run every few
// milliseconds of work.  The check ends the computation by throwing, and the
// engines, which hold everything they build in owning containers, leave
// nothing behind.
#pragma once

#include "check.h"

namespace palimp {

class Interrupt {
 public:
  // Never interrupts.
  constexpr Interrupt() = default;
  // Runs check() (which may throw) when polled; `check` must outlive this.
  template <class F>
  explicit Interrupt(F& check) : obj_(&check), call_([](void* o) { (*static_cast<F*>(o))(); }) {}

  void poll() const {
    if (call_ != nullptr) call_(obj_);
  }

 private:
  void* obj_ = nullptr;
  void (*call_)(void*) = nullptr;
};

// Counts work in units of about a nanosecond and polls an Interrupt once per
// kPeriod units, so that a pending interruption is seen within a millisecond
// or so of work, at the cost of an addition per count.
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
