// Ctrl-C in the middle of a long call.
//
// Python runs its signal handlers between bytecodes, so while a call runs in
// C++ a SIGINT only marks itself pending.  Every loop of a call whose length
// the caller's input decides (an engine's work, a conversion, a result
// built) counts its work on a SignalMeter, which asks the interpreter to run
// the pending handlers about every millisecond; when one raises (as the
// default handler of SIGINT does, with KeyboardInterrupt) the call ends by
// throwing PythonError.  Everything a call builds is held by owning handles,
// so it leaves nothing behind (result lists: result_list.h).
#pragma once

#include "interrupt.h"
#include "python_bindings/pyref.h"

namespace palimp::py {

// Runs the pending signal handlers; throws PythonError when one raised.
struct SignalCheck {
  void operator()() const {
    if (PyErr_CheckSignals() < 0) throw PythonError{};
  }
};

// A WorkMeter that polls the signal handlers: add(units) as work goes on.
class SignalMeter {
 public:
  SignalMeter() = default;
  SignalMeter(const SignalMeter&) = delete;
  SignalMeter& operator=(const SignalMeter&) = delete;

  void add(u64 units) { meter_.add(units); }
  WorkMeter& meter() { return meter_; }
  // For the engines, which keep meters of their own.
  const Interrupt& interrupt() const { return interrupt_; }

 private:
  SignalCheck check_;
  Interrupt interrupt_{check_};
  WorkMeter meter_{interrupt_};
};

}  // namespace palimp::py
