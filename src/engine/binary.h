// The exact engine: greedy longest-match segmentation over window hashes.
//
// WHAT IT DECIDES.  Each message is scanned left to right.  At position p the
// window of k = min_match_len symbols is a hit when an earlier message holds
// the same window; the engine then examines, in order of (message, position),
// the first MAX_CANDIDATES places holding a window with that hash, measures
// how far each agrees with the message from p, and references the longest,
// ties going to the earliest place.  Everything else becomes literal runs,
// which end only where a hit begins.  While message i is scanned, the places
// are those of messages 0..i-1; repeats inside one message are never
// referenced.
//
// The candidate list of a hash is never stored whole.  A window of message m
// that lies wholly inside one of m's references holds the same symbols as the
// window it was copied from, so its place follows from that source place and
// the reference.  Only the other windows ("fresh" ones: inside literals or
// straddling a segment boundary) go into the hash index; the copies are
// derived at lookup time by following references forward from each fresh
// place, in (message, position) order.  Indexing therefore costs in
// proportion to the new material, not to the whole input.
//
// A hash match is always confirmed by comparing symbols: a place counts as a
// candidate only when its k symbols equal the window's, and a match length is
// the true common run.  When no two different windows share a hash this is
// exactly the greedy rule on hashes; when some do, no reference can name
// different content.
#pragma once

#include <span>

#include "symbols.h"

namespace palimp {

inline constexpr u64 MAX_CANDIDATES = 64;

// Segment lists of `messages` under the exact rule with window length
// `min_match_len`.  Any min_match_len works; 0 or one longer than a message
// makes that message one literal.  Memory: the messages are read in place.
SegmentTable exact_segments(std::span<const SymbolSpan> messages, u64 min_match_len);

}  // namespace palimp
