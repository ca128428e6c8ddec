#include "check.h"

#include <string>

namespace palimp {

void check_failed(const char* expr, const char* file, unsigned line) {
  std::string msg = "internal check failed: ";
  msg += expr;
  msg += " at ";
  msg += file;
  msg += ':';
  msg += std::to_string(line);
  throw InternalError(msg);
}

u64 checked_add(u64 a, u64 b) {
  PALIMP_CHECK(b <= UINT64_MAX - a);
  return a + b;
}

}  // namespace palimp
