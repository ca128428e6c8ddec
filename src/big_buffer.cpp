#include "big_buffer.h"

#include <sys/mman.h>

#include <cassert>
#include <cstdlib>
#include <cstring>
#include <bit>
#include <utility>

namespace palimp {
namespace {

constexpr u64 kHuge = u64{2} << 20;       // one transparent huge page
constexpr u64 kBigFrom = u64{4} << 20;    // buffers this large bypass the heap

u64 round_up(u64 x, u64 to) { return (x + to - 1) / to * to; }

}  // namespace

void* allocate_big(u64 bytes) {
  if (bytes < kBigFrom) {
    void* p = std::malloc(bytes == 0 ? 1 : bytes);
    if (p == nullptr) throw std::bad_alloc();
    return p;
  }
  if (bytes > (u64{1} << 62)) throw std::bad_alloc();
  // Map one huge page more than needed and trim both ends, so the buffer
  // starts on a huge-page boundary.
  const u64 length = round_up(bytes, kHuge);
  void* raw = mmap(nullptr, length + kHuge, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) throw std::bad_alloc();
  const auto base = reinterpret_cast<u64>(raw);
  const u64 start = round_up(base, kHuge);
  if (start > base) munmap(raw, start - base);
  const u64 tail = base + length + kHuge - (start + length);
  if (tail > 0) munmap(reinterpret_cast<void*>(start + length), tail);
  madvise(reinterpret_cast<void*>(start), length, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(start);
}

void release_big(void* p, u64 bytes) noexcept {
  if (p == nullptr) return;
  if (bytes < kBigFrom) {
    std::free(p);
  } else {
    munmap(p, round_up(bytes, kHuge));
  }
}

ByteArena::ByteArena(ByteArena&& o) noexcept
    : data_(std::exchange(o.data_, nullptr)), size_(std::exchange(o.size_, 0)), capacity_(std::exchange(o.capacity_, 0)) {}

ByteArena& ByteArena::operator=(ByteArena&& o) noexcept {
  if (this != &o) {
    release_big(data_, capacity_);
    data_ = std::exchange(o.data_, nullptr);
    size_ = std::exchange(o.size_, 0);
    capacity_ = std::exchange(o.capacity_, 0);
  }
  return *this;
}

void ByteArena::reserve(u64 bytes) {
  assert(size_ <= capacity_);
  if (bytes <= capacity_) return;
  u8* fresh = static_cast<u8*>(allocate_big(bytes));
  if (size_ > 0) std::memcpy(fresh, data_, size_);
  release_big(data_, capacity_);
  data_ = fresh;
  capacity_ = bytes;
}

u64 ByteArena::extend(u64 bytes, u64 align) {
  assert(std::has_single_bit(align));
  const u64 offset = round_up(size_, align);
  PALIMP_CHECK(offset >= size_ && bytes <= UINT64_MAX - offset);
  const u64 end = offset + bytes;
  if (end > capacity_) reserve(end > capacity_ * 2 ? end : capacity_ * 2);
  size_ = end;
  return offset;
}

}  // namespace palimp
