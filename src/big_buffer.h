// Memory for large buffers.
//
// Fresh memory is expensive here: the first write to each 4 KiB page costs a
// fault, about 10 µs on the machines this runs on, which caps a copy into new
// memory near 0.4 GB/s.  Buffers of several MiB therefore come straight from
// the kernel, aligned to 2 MiB and marked for transparent huge pages, which
// fault in 512 times fewer pieces; smaller ones come from the usual heap.
#pragma once

#include <cstddef>
#include <new>

#include "check.h"

namespace palimp {

// `bytes` of uninitialised memory (throws std::bad_alloc) and its release;
// release_big must be given the same size.
void* allocate_big(u64 bytes);
void release_big(void* p, u64 bytes) noexcept;

// A standard allocator over allocate_big, for containers that can grow large.
template <class T>
struct BigAllocator {
  using value_type = T;
  BigAllocator() = default;
  template <class U>
  BigAllocator(const BigAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) {
    if (n > static_cast<std::size_t>(-1) / sizeof(T)) throw std::bad_array_new_length();
    return static_cast<T*>(allocate_big(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept { release_big(p, n * sizeof(T)); }
  template <class U>
  bool operator==(const BigAllocator<U>&) const noexcept { return true; }
};

// A growable byte buffer that never initialises what it hands out.
class ByteArena {
 public:
  ByteArena() = default;
  ByteArena(ByteArena&& o) noexcept;
  ByteArena& operator=(ByteArena&& o) noexcept;
  ByteArena(const ByteArena&) = delete;
  ByteArena& operator=(const ByteArena&) = delete;
  ~ByteArena() { release_big(data_, capacity_); }

  void reserve(u64 bytes);
  // Appends `bytes` uninitialised bytes, first padding to a multiple of
  // `align` (a power of two); returns the offset of the new bytes.
  u64 extend(u64 bytes, u64 align);
  void truncate(u64 size) { size_ = size < size_ ? size : size_; }
  u8* data() { return data_; }
  const u8* data() const { return data_; }
  u64 size() const { return size_; }

 private:
  u8* data_ = nullptr;
  u64 size_ = 0;
  u64 capacity_ = 0;
};

}  // namespace palimp
