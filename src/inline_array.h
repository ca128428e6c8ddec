// A small fixed-size array kept inside its owner when it is short.
#pragma once

#include <memory>
#include <span>

#include "check.h"

namespace palimp {

// A fixed number of elements, kept inside the object when there are at most
// N of them and on the heap otherwise: scratch that small inputs get without
// an allocation.  Elements start uninitialised (T is trivially copyable).
// It moves as a value: nothing points into the object itself.
template <class T, size_t N>
class InlineArray {
 public:
  explicit InlineArray(u64 n) : size_(n) {
    if (n > N) heap_.reset(new T[n]);
  }
  T* data() { return heap_ ? heap_.get() : inline_; }
  const T* data() const { return heap_ ? heap_.get() : inline_; }
  u64 size() const { return size_; }
  T& operator[](u64 i) { return data()[i]; }
  const T& operator[](u64 i) const { return data()[i]; }
  std::span<const T> span() const { return {data(), size_}; }

 private:
  u64 size_;
  std::unique_ptr<T[]> heap_;
  T inline_[N];
};

}  // namespace palimp
