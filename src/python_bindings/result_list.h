// The lists a call returns, built in place.
//
// A result list is made with all its slots empty and kept out of the
// collector's sight until it is published: a poll for signals runs Python
// code (a handler) and the collections that allocations scheduled, and
// neither may find a list with empty slots; nor should a collection in the
// middle of a large result walk it (walking it at every poll made building
// 10^7 lists 2.5 times slower).
//
// A call that fails part way, as one does when Ctrl-C raises in a poll,
// drops what it built.  Freeing ten million objects takes most of a second,
// which would stand between the signal and the KeyboardInterrupt, so a list
// dropped unpublished is released a slice at a time instead: a first slice
// at once (a small list goes entirely), the rest between bytecodes, a couple
// of milliseconds per slice (release_later.h).
#pragma once

#include <utility>

#include "core.h"
#include "python_bindings/pyref.h"

namespace palimp::py {

class ResultList {
 public:
  ResultList() = default;  // holds no list
  // A new list of n empty slots.
  explicit ResultList(u64 n);
  ResultList(ResultList&&) noexcept = default;
  ResultList& operator=(ResultList&& o) noexcept;
  ResultList(const ResultList&) = delete;
  ResultList& operator=(const ResultList&) = delete;
  ~ResultList() { drop(); }

  PyObject* get() const { return list_.get(); }
  // Fills slot i (empty until now) with `item`.
  void set(u64 i, PyRef item) { PyList_SET_ITEM(list_.get(), static_cast<Py_ssize_t>(i), item.release()); }
  // Fills slot i with an inner list, which stays unpublished until this one
  // is published by publish_nested().
  void set(u64 i, ResultList&& inner) { set(i, std::move(inner.list_)); }

  // The list, every slot filled, in the collector's sight again.
  PyRef publish() &&;
  // The same for a list whose items are all lists set() here: each of them,
  // then the list.
  PyRef publish_nested() &&;

 private:
  void drop();
  PyRef list_;
};

}  // namespace palimp::py
