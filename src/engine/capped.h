// The capped engine: bounded-work segmentation over a short and a capped
// window hash.
//
// WHAT IT DECIDES.  Messages are scanned in order, each left to right.  A
// position p of a message of n symbols has a min window of k = min_match_len
// symbols (only when k <= n - p) and a capped window of min(C, n - p) symbols,
// C = cap_len, cut at the message's end: two capped windows can be equal only
// when they lie equally far from the ends of their messages.  At p the engine
// looks up the min hash among the pairs (min hash, capped hash) of earlier
// messages; of the entries filed under that min hash, in order of filing, only
// the first N = ncap are eligible, and the candidate is the eligible entry
// whose capped hash equals p's.  If its first k symbols really equal those at
// p, p gets a reference to it, as long as the two messages agree from there.
// Otherwise p starts a literal run, which ends at the next position whose min
// hash has been filed at all (whether or not a match follows there) or at the
// message's end.  Finally, references that directly follow each other and are
// contiguous in one source message are merged.
//
// INVARIANTS of the working state.
// - While message j is scanned, its lookups see pairs of messages 0..j-1
//   only.  Message j's own pairs are filed as the scan passes them (one
//   probe serves a lookup and the filing of what it missed) but count only
//   for later messages: a pair is found only below j's first place, and a
//   min hash is a key for j only when its first pair is.  The last message
//   is never filed.  Repeats inside one message are therefore never
//   referenced.
// - A pair (min hash, capped hash) is filed once, by the first position that
//   produces it in (message, position) order, and never removed or changed.
// - Each pair's ordinal among the pairs of its min hash is fixed when it is
//   filed; only the first N pairs of a min hash are kept, since only they can
//   ever be a candidate, and a min hash stays a key once it has one.  Within
//   one min hash the capped hashes are distinct, so a lookup by the full
//   pair finds the one candidate directly, whatever N is (engine/
//   capped_index.h).
// - A position lying, with both its windows, inside a reference of its own
//   message produces the same pair as the source position it was copied from
//   (references name exactly equal symbols), which was filed before.  Such
//   positions are never hashed: indexing costs grow with new material and
//   segment boundaries, not with the length of the copied text.
// - Once the messages still to be scanned hold few windows next to what a
//   message would file, only pairs whose min hash occurs in those messages
//   are filed: nothing else can be looked up any more, and for those min
//   hashes every pair is filed as before.
//
// Equal hashes stand for equal content in the lookups (min hash, capped hash
// and literal-run ends), but a reference is emitted only after its first k
// symbols compare equal, and its length is the true common run, so no
// reference ever names different symbols.  When no two different windows
// share a hash this is exactly the rule above on hashes alone.
#pragma once

#include <span>
#include <vector>

#include "core.h"
#include "interrupt.h"
#include "segment_table.h"
#include "symbol_span.h"

namespace palimp {

// Segment lists of `messages` under the capped rule.  Reads
// params.min_match_len, cap_len and ncap only; any values from 0 to 2^64 - 1
// work (k = 0, N = 0 or a k longer than a message yield literals only; a C
// beyond a message's end makes its capped windows the whole rest).  Messages
// may mix symbol widths and are read in place.  Cost: one pass per message;
// index work grows with the new material plus max(k, C) per reference, one
// table probe per filed position and a second for a later pair of a min
// hash; the scan probes one key per literal position, answers most failing
// lookups from the key's own slot, and compares each reference's symbols
// once.  Memory: about 30 bytes per distinct min hash and 20 per later pair
// (25 and 15 for inputs under 2^16 symbols, whose places are 16 bits wide).
// `interrupt` is polled every millisecond or so of work; whatever it throws
// ends the call.
SegmentTable capped_segments(std::span<const SymbolSpan> messages, const EngineParams& params,
                             const Interrupt& interrupt = Interrupt{});

// The same, with places stored 64 bits wide even where 16 or 32 would do (the
// engine's own choice for inputs of 2^32 - 1 symbols or more); the segments
// are the same either way.  For tests.
SegmentTable capped_segments(std::span<const SymbolSpan> messages, const EngineParams& params, bool wide_places,
                             const Interrupt& interrupt = Interrupt{});

// The same over token sequences, as segment records with owned literal
// tokens, one list per message.
std::vector<std::vector<TokenSegment>> compute_capped_segments(std::span<const TokenSpan> messages,
                                                               const EngineParams& params);

}  // namespace palimp
