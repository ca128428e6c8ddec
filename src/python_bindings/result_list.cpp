#include "python_bindings/result_list.h"

#include "python_bindings/release_later.h"

namespace palimp::py {

ResultList::ResultList(u64 n) : list_(checked(PyList_New(static_cast<Py_ssize_t>(n)))) {
  PyObject_GC_UnTrack(list_.get());
}

ResultList& ResultList::operator=(ResultList&& o) noexcept {
  if (this != &o) {
    drop();
    list_ = std::move(o.list_);
  }
  return *this;
}

PyRef ResultList::publish() && {
  PyObject_GC_Track(list_.get());
  return std::move(list_);
}

PyRef ResultList::publish_nested() && {
  PyObject* list = list_.get();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) PyObject_GC_Track(PyList_GET_ITEM(list, i));
  return std::move(*this).publish();
}

// Only an unpublished list is still held here.
void ResultList::drop() { release_later(std::move(list_)); }

}  // namespace palimp::py
