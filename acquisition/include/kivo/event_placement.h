// Where a marked event goes: the moment of the call, read on the clock of
// the datagrams' stamps, placed on the sample clock's current line and in
// the rows of the raw file.
#pragma once

#include "kivo/events_file.h"
#include "kivo/file_rows.h"
#include "kivo/shared_clock.h"

namespace kivo {

// The row of an event stamped `stamp` (seconds since 1970): its sample is
// the file row holding the device's sample at that time on the current line
// (a fraction rounds down), its onset the stamp less the line's time of row
// 0. Both are n/a while the line has no rate (before the second datagram,
// and for a moment after the device restarts).
EventRow place_event(double stamp, const ClockLines& lines, const FileRows& rows);

}  // namespace kivo
