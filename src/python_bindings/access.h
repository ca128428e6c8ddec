// Per-object access tracking for the compressor classes.
//
// Every method holds shared access for its whole call; a method that may
// change the object (growing a stored tokenizer's vocabulary) holds exclusive
// access.  Conflicts arise only when Python code running inside a call (an
// element's own integer conversion, say) calls back into the same object.
#pragma once

#include "python_bindings/pyref.h"

namespace palimp::py {

struct AccessState {
  Py_ssize_t shared = 0;
  bool exclusive = false;
};

class SharedAccess {
 public:
  explicit SharedAccess(AccessState& s) : s_(s) {
    if (s_.exclusive) raise(PyExc_RuntimeError, "Already mutably borrowed");
    ++s_.shared;
  }
  ~SharedAccess() { --s_.shared; }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;

 private:
  AccessState& s_;
};

class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(AccessState& s) : s_(s) {
    if (s_.exclusive || s_.shared > 0) raise(PyExc_RuntimeError, "Already borrowed");
    s_.exclusive = true;
  }
  ~ExclusiveAccess() { s_.exclusive = false; }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

 private:
  AccessState& s_;
};

}  // namespace palimp::py
