#include "check.h"

#include <string>

namespace palimp {

void check_failed(const char* expr, std::source_location at) {
  std::string msg = "internal check failed: ";
  msg += expr;
  msg += " at ";
  msg += at.file_name();
  msg += ':';
  msg += std::to_string(at.line());
  throw InternalError(msg);
}

u64 checked_add(u64 a, u64 b) {
  PALIMP_CHECK(b <= UINT64_MAX - a);
  return a + b;
}

}  // namespace palimp
