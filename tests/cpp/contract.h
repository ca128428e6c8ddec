// The contract of every segment list a token engine produces, checked against
// the messages it was computed from in time linear in their size: the tests
// and the fuzz harnesses hold both engines to this one statement of it.
#pragma once

#include <algorithm>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

#include "core.h"

namespace palimp::contract {

enum class Engine { kExact, kCapped };

// The first way in which `lists` break the contract, or "" when they keep it:
// lists tile their messages; references point strictly backwards, stay inside
// the referenced message, are at least max(k, 1) long and name exactly the
// symbols they stand for; literals are never empty; a non-empty first message
// is one literal.  Exact lists never hold two literals side by side; capped
// lists never hold two references that continue each other in one source.
inline std::string violation(const std::vector<std::vector<u32>>& msgs,
                             const std::vector<std::vector<TokenSegment>>& lists, u64 k, Engine engine) {
  std::ostringstream why;
  if (lists.size() != msgs.size()) {
    why << lists.size() << " lists for " << msgs.size() << " messages";
    return why.str();
  }
  for (u64 i = 0; i < msgs.size(); ++i) {
    const std::vector<u32>& m = msgs[i];
    u64 at = 0;
    const TokenSegment* prev = nullptr;
    for (const TokenSegment& seg : lists[i]) {
      if (const auto* l = std::get_if<Literal>(&seg)) {
        if (l->tokens.empty()) why << "empty literal in message " << i;
        else if (l->tokens.size() > m.size() - at) why << "literal runs past the end of message " << i;
        else if (!std::equal(l->tokens.begin(), l->tokens.end(), m.begin() + static_cast<std::ptrdiff_t>(at)))
          why << "literal differs from message " << i << " at " << at;
        else if (engine == Engine::kExact && prev && std::holds_alternative<Literal>(*prev))
          why << "adjacent literals in message " << i;
        if (!why.str().empty()) return why.str();
        at += l->tokens.size();
      } else {
        const Reference& r = std::get<Reference>(seg);
        const auto* q = prev ? std::get_if<Reference>(prev) : nullptr;
        if (r.message >= i) {
          why << "reference of message " << i << " to " << r.message;
          return why.str();
        }
        const std::vector<u32>& src = msgs[r.message];
        if (r.start > src.size() || r.len > src.size() - r.start)
          why << "reference (" << r.message << "," << r.start << "," << r.len << ") outside its source";
        else if (r.len < std::max<u64>(k, 1)) why << "reference of " << r.len << " symbols with k = " << k;
        else if (r.len > m.size() - at) why << "reference runs past the end of message " << i;
        else if (!std::equal(src.begin() + static_cast<std::ptrdiff_t>(r.start),
                             src.begin() + static_cast<std::ptrdiff_t>(r.start + r.len),
                             m.begin() + static_cast<std::ptrdiff_t>(at)))
          why << "reference (" << r.message << "," << r.start << "," << r.len << ") names other symbols than "
              << "message " << i << " at " << at;
        else if (engine == Engine::kCapped && q && q->message == r.message && q->start + q->len == r.start)
          why << "unmerged contiguous references in message " << i;
        if (!why.str().empty()) return why.str();
        at += r.len;
      }
      prev = &seg;
    }
    if (at != m.size()) {
      why << "segments of message " << i << " cover " << at << " of " << m.size();
      return why.str();
    }
  }
  if (!msgs.empty() && !msgs[0].empty() && !(lists[0].size() == 1 && std::holds_alternative<Literal>(lists[0][0])))
    return "message 0 is not one literal";
  return "";
}

}  // namespace palimp::contract
