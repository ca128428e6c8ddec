// Releasing a large structure of objects without holding up the caller.
#pragma once

#include "python_bindings/pyref.h"

namespace palimp::py {

// Releases `list`, which only the caller holds (nothing else may see it
// while it is taken apart), with every object it holds: its items and,
// where an item is a list that only it holds, that list's items in turn.
// Slots may be empty.  A first slice of the work is done at once, which
// releases a list of up to a few tens of thousands of objects entirely;
// the rest is done between bytecodes of the main thread, a slice of about
// two milliseconds at a time, so that the interpreter and its signal
// handlers go on meanwhile.
void release_later(PyRef list);

}  // namespace palimp::py
