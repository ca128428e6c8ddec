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
// referenced.  The places come from the candidate index
// (engine/candidate_index.h), to which each message is added, with the
// pieces it was cut into, before the next one is scanned.
//
// A hash match is always confirmed by comparing symbols: a place counts as a
// candidate only when its k symbols equal the window's, and a match length is
// the true common run.  When no two different windows share a hash this is
// exactly the greedy rule on hashes; when some do, no reference can name
// different content.
#pragma once

#include <span>

#include "engine/candidate_index.h"
#include "interrupt.h"
#include "segment_table.h"
#include "symbol_span.h"

namespace palimp {

// Segment lists of `messages` under the exact rule with window length
// `min_match_len`.  Any min_match_len works; 0 or one longer than a message
// makes that message one literal.  Memory: the messages are read in place.
// `interrupt` is polled every millisecond or so of work; whatever it throws
// ends the call.
SegmentTable exact_segments(std::span<const SymbolSpan> messages, u64 min_match_len,
                            const Interrupt& interrupt = Interrupt{});

// The same the way large inputs go: the index's places stored 64 bits wide,
// as inputs beyond CandidateIndex::kNarrowMax (2^28) symbols or messages
// need, and fresh windows filed after each message is scanned, as inputs of
// more than 2^16 windows have them; for testing those paths on small inputs.
SegmentTable exact_segments_wide(std::span<const SymbolSpan> messages, u64 min_match_len);

}  // namespace palimp
