#include "token_store.h"

#include <algorithm>
#include <cstring>

namespace palimp {

TokenStore::TokenStore(std::span<const std::span<const u32>> messages) {
  u64 total = 0;
  for (const auto& m : messages) total = checked_add(total, m.size());
  reserve_tokens(total, 4, messages.size());
  entries_.reserve(messages.size());
  for (const auto& m : messages) add(m);
}

void TokenStore::reserve_tokens(u64 tokens, u8 width, u64 messages) {
  PALIMP_CHECK(tokens <= (UINT64_MAX - arena_.size()) / 8 && messages <= UINT64_MAX / 8);
  arena_.reserve(arena_.size() + tokens * width + 4 * messages);  // and each message's alignment
}

void TokenStore::add(std::span<const u32> tokens) {
  const u8 width = narrowest_width(tokens);
  store_narrow(tokens, width, add_uninitialized(tokens.size(), width));
}

void* TokenStore::add_uninitialized(u64 n, u8 width) {
  PALIMP_CHECK(width == 1 || width == 2 || width == 4);
  PALIMP_CHECK(n <= UINT64_MAX / 4);
  const u64 offset = arena_.extend(n * width, 4);
  entries_.push_back({offset, n, width});
  return arena_.data() + offset;
}

void TokenStore::narrow_last() {
  PALIMP_CHECK(!entries_.empty() && entries_.back().width == 4);
  Entry& e = entries_.back();
  u8* bytes = arena_.data() + e.offset;
  u32 bits = 0;
  for (u64 i = 0; i < e.size; ++i) {
    u32 id;
    std::memcpy(&id, bytes + 4 * i, 4);
    bits |= id;
  }
  const u8 width = width_for(bits);
  if (width == 4) return;
  // Front to back: each id is read before a narrower write can reach it.
  for (u64 i = 0; i < e.size; ++i) {
    u32 id;
    std::memcpy(&id, bytes + 4 * i, 4);
    if (width == 1) {
      bytes[i] = static_cast<u8>(id);
    } else {
      const u16 narrow = static_cast<u16>(id);
      std::memcpy(bytes + 2 * i, &narrow, 2);
    }
  }
  e.width = width;
  arena_.truncate(e.offset + e.size * width);
}

void TokenStore::drop_last() {
  PALIMP_CHECK(!entries_.empty());
  arena_.truncate(entries_.back().offset);
  entries_.pop_back();
}

std::vector<SymbolSpan> TokenStore::spans() const {
  std::vector<SymbolSpan> out(entries_.size());
  spans_into(out.data());
  return out;
}

void TokenStore::spans_into(SymbolSpan* out) const {
  for (u64 i = 0; i < entries_.size(); ++i) out[i] = span(i);
}

void TokenStore::append_to(u64 i, u64 start, u64 len, std::vector<u32>& out) const {
  const SymbolSpan s = span(i);
  PALIMP_CHECK(start <= s.size && len <= s.size - start);
  const u64 at = out.size();
  out.resize(at + len);
  with_symbols(s, [&](const auto* p) { std::copy(p + start, p + start + len, out.data() + at); });
}

}  // namespace palimp
