// The events file beside a recording, as kivo/events_file.h reads it.
#pragma once

#include "kivo/events_file.h"

namespace kivo::exporter {

using kivo::Event;
using kivo::events_path_for;
using kivo::EventsRead;
using kivo::parse_events;
using kivo::read_events;

}  // namespace kivo::exporter
