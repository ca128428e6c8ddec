#include "python_bindings/release_later.h"

#include <cstdint>
#include <memory>
#include <vector>

#include "core.h"

namespace palimp::py {
namespace {

// Objects released per slice: about a millisecond of deallocations (a
// result object costs some 25 ns to free).  The interpreter runs up to 32
// pending calls back to back before its next bytecode, so its longest
// stretch without one stays near 32 ms.
constexpr u64 kSlice = u64{1} << 15;

bool finalizing() {
#if PY_VERSION_HEX >= 0x030D0000
  return Py_IsFinalizing() != 0;
#else
  return _Py_IsFinalizing() != 0;
#endif
}

// Lists that only this holds, each taken apart from its end: its size is
// how many of its items are still held, so a list at the top of the stack
// is released once its size reaches 0.  An item that is itself a list held
// by nothing else is taken apart in turn rather than freed in one go, so
// that a slice stays short whatever the nesting.
class Releaser {
 public:
  explicit Releaser(PyObject* list) { stack_.push_back(list); }
  Releaser(const Releaser&) = delete;
  Releaser& operator=(const Releaser&) = delete;
  ~Releaser() { step(UINT64_MAX); }

  // Releases up to `budget` objects; returns whether everything is released.
  bool step(u64 budget) {
    while (!stack_.empty()) {
      PyObject* list = stack_.back();
      Py_ssize_t n = PyList_GET_SIZE(list);
      bool descended = false;
      while (n > 0 && !descended) {
        if (budget == 0) return false;
        --budget;
        PyObject* item = PyList_GET_ITEM(list, n - 1);
        PyList_SET_ITEM(list, n - 1, nullptr);
        Py_SET_SIZE(list, --n);
        if (item == nullptr) continue;  // a slot not filled when the call ended
        if (PyList_CheckExact(item) && Py_REFCNT(item) == 1) {
          stack_.push_back(item);  // its reference moves to the stack
          descended = true;
        } else {
          Py_DECREF(item);
        }
      }
      if (descended) continue;
      stack_.pop_back();
      Py_DECREF(list);  // empty now: frees only its own storage
    }
    return true;
  }

 private:
  std::vector<PyObject*> stack_;  // owned references
};

// A pending call: one slice, then again between later bytecodes.  While the
// interpreter shuts down no bytecode may follow, so the rest goes at once.
int release_slice(void* arg) {
  auto* releaser = static_cast<Releaser*>(arg);
  if (finalizing() || releaser->step(kSlice) || Py_AddPendingCall(release_slice, releaser) != 0) {
    delete releaser;  // releases whatever is left
  }
  return 0;
}

}  // namespace

void release_later(PyRef list) {
  if (!list) return;
  auto releaser = std::make_unique<Releaser>(list.release());
  if (releaser->step(kSlice)) return;
  // The queue of pending calls is short; when it is full, the rest is
  // released now after all.
  if (Py_AddPendingCall(release_slice, releaser.get()) == 0) releaser.release();
}

}  // namespace palimp::py
