// Stale slots: slots that repeat an earlier datagram instead of holding a new
// one. The plug-in's receiver hands a block over after 1000 receive attempts,
// so a block with failed receives ends in slots that still hold what that half
// of the buffer held before - an earlier block's datagrams, or zeros where the
// buffer was never written.
#pragma once

#include <vector>

#include "recording.h"

namespace kivo::inspect {

// One flag per slot. A slot is stale when
//  - its stamp and bytes equal those of an earlier slot (in a filtered file:
//    its stamp, header and sequence number, since its samples were filtered
//    anew), or
//  - it was never written: stamp 0 and nothing but zero bytes (plug-in files).
// Costs one pass, plus a sort of the slots' keys when stamps do not rise
// throughout (and always for the recorder's unstamped file).
std::vector<bool> find_stale_slots(const Slots& slots);

// The bytes that two slots must share to repeat one datagram.
size_t compared_bytes(const Layout& layout);

}  // namespace kivo::inspect
