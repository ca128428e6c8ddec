// Integer vocabulary and the two tiers of internal checks.
//
// Checks that guard observable bounds (window and slice limits) stay on in
// every build and throw InternalError; the Python boundary turns that into
// PanicException.  Costly self-consistency checks use assert and vanish in
// release builds.
#pragma once

#include <cstdint>
#include <stdexcept>

namespace palimp {

using u8 = std::uint8_t;
using u16 = std::uint16_t;
using u32 = std::uint32_t;
using u64 = std::uint64_t;

class InternalError : public std::logic_error {
 public:
  using std::logic_error::logic_error;
};

// Throws InternalError naming `expr` and the place of the failed check.  The
// defaults take the caller's file and line (as std::source_location would,
// which not every compiler this builds with provides yet).
[[noreturn]] void check_failed(const char* expr, const char* file = __builtin_FILE(),
                               unsigned line = __builtin_LINE());

// Sum of two sizes, or InternalError when it does not fit in 64 bits.
u64 checked_add(u64 a, u64 b);

}  // namespace palimp

#define PALIMP_CHECK(cond) ((cond) ? void() : ::palimp::check_failed(#cond))
