// The recorder's only argument: the channel count as decimal text.
#pragma once

#include <optional>

namespace kivo::recorder {

// The count that `text` names: optional blanks, an optional sign and decimal
// digits, optional trailing blanks, with a value from 1 to 16. Nothing for any
// other text, so that a stray character never turns into a channel count.
std::optional<int> parse_channel_count(const char* text);

}  // namespace kivo::recorder
