// A mutator that knows the layout of shapes.h: besides libFuzzer's own byte
// mutations it changes one header field, and inserts, deletes, duplicates,
// swaps or rewrites whole records, so that an input stays a list of edits
// (or turns, or runs) and a mutation adds or repeats one edit instead of
// shifting every later record out of place.  Crossing two inputs keeps the
// header of one and splices the records of both.
//
// PALIMP_FUZZ_MUTATOR defines the libFuzzer hooks in a fuzzer build and
// nothing elsewhere.
#pragma once

#include <cstring>
#include <random>

#include "shapes.h"

#ifdef PALIMP_LIBFUZZER
extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t max_size);

namespace palimp::fuzz {

inline size_t records_in(size_t size) { return size > kHeaderBytes ? (size - kHeaderBytes) / kRecordBytes : 0; }
inline uint8_t* record_at(uint8_t* data, size_t i) { return data + kHeaderBytes + i * kRecordBytes; }

inline size_t mutate_shaped(uint8_t* data, size_t size, size_t max_size, unsigned seed) {
  std::minstd_rand rng(seed);
  auto below = [&](size_t n) { return n ? static_cast<size_t>(rng() % n) : 0; };
  if (max_size < kHeaderBytes + kRecordBytes || below(8) < 3) return LLVMFuzzerMutate(data, size, max_size);
  if (size < kHeaderBytes) {  // complete the header with zeros first
    std::memset(data + size, 0, kHeaderBytes - size);
    size = kHeaderBytes;
  }
  // Records only: a ragged tail would shift under record operations.
  size = kHeaderBytes + records_in(size) * kRecordBytes;
  const size_t n = records_in(size);
  const size_t room = (max_size - kHeaderBytes) / kRecordBytes - n;
  switch (below(8)) {
    case 0:  // one header field
      data[below(kHeaderBytes)] = static_cast<uint8_t>(rng());
      break;
    case 1:  // one field of one record
      if (n) record_at(data, below(n))[below(kRecordBytes)] = static_cast<uint8_t>(rng());
      break;
    case 2:
    case 3: {  // a new record somewhere
      if (!room) break;
      const size_t at = below(n + 1);
      std::memmove(record_at(data, at + 1), record_at(data, at), (n - at) * kRecordBytes);
      for (size_t i = 0; i < kRecordBytes; ++i) record_at(data, at)[i] = static_cast<uint8_t>(rng());
      size += kRecordBytes;
      break;
    }
    case 4: {  // a record deleted
      if (!n) break;
      const size_t at = below(n);
      std::memmove(record_at(data, at), record_at(data, at + 1), (n - at - 1) * kRecordBytes);
      size -= kRecordBytes;
      break;
    }
    case 5: {  // a stretch of records repeated: the same edits again
      if (!n || !room) break;
      const size_t from = below(n);
      const size_t count = std::min(room, 1 + below(std::min<size_t>(n - from, 8)));
      const size_t to = below(n + 1);
      uint8_t copy[8 * kRecordBytes];
      std::memcpy(copy, record_at(data, from), count * kRecordBytes);
      std::memmove(record_at(data, to + count), record_at(data, to), (n - to) * kRecordBytes);
      std::memcpy(record_at(data, to), copy, count * kRecordBytes);
      size += count * kRecordBytes;
      break;
    }
    case 6: {  // two records swapped
      if (n < 2) break;
      uint8_t* x = record_at(data, below(n));
      uint8_t* y = record_at(data, below(n));
      for (size_t i = 0; i < kRecordBytes; ++i) std::swap(x[i], y[i]);
      break;
    }
    default:  // the same records read as another shape
      data[7] = static_cast<uint8_t>(data[7] + 1 + below(255));
      break;
  }
  return size;
}

inline size_t cross_shaped(const uint8_t* a, size_t a_size, const uint8_t* b, size_t b_size, uint8_t* out,
                           size_t max_size, unsigned seed) {
  std::minstd_rand rng(seed);
  if (a_size < kHeaderBytes || max_size < kHeaderBytes) return 0;
  std::memcpy(out, a, kHeaderBytes);
  size_t size = kHeaderBytes;
  const size_t na = records_in(a_size), nb = records_in(b_size);
  const size_t keep = na ? rng() % (na + 1) : 0;
  const size_t from = nb ? rng() % nb : 0;
  auto append = [&](const uint8_t* src, size_t count) {
    count = std::min(count, (max_size - size) / kRecordBytes);
    std::memcpy(out + size, src, count * kRecordBytes);
    size += count * kRecordBytes;
  };
  append(a + kHeaderBytes, keep);
  if (nb) append(b + kHeaderBytes + from * kRecordBytes, nb - from);
  return size;
}

}  // namespace palimp::fuzz

#define PALIMP_FUZZ_MUTATOR                                                                                    \
  extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned seed) {      \
    return palimp::fuzz::mutate_shaped(data, size, max_size, seed);                                            \
  }                                                                                                            \
  extern "C" size_t LLVMFuzzerCustomCrossOver(const uint8_t* a, size_t a_size, const uint8_t* b, size_t b_size, \
                                              uint8_t* out, size_t max_size, unsigned seed) {                  \
    return palimp::fuzz::cross_shaped(a, a_size, b, b_size, out, max_size, seed);                              \
  }
#else
#define PALIMP_FUZZ_MUTATOR
#endif
