// What the metadata file needs from the operating system. Realised per
// platform in src/<platform>/metadata_platform_<platform>.cpp.
#pragma once

#include <string>

namespace kivo {

// Replaces the file at `path` with `contents` so that a reader sees either
// the old file or the new one, never a part: the text goes to a temporary
// file in the same folder, is flushed to the disk, and is renamed over
// `path`, and the folder is flushed after the rename. Returns 0 or the platform's error code (the temporary
// file is removed then). Any thread.
int replace_file_atomically(const std::string& path, const std::string& contents);

// The name of this computer; empty when the system does not say. Any thread.
std::string host_name();

}  // namespace kivo
