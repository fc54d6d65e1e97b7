// Every text the acquisition shows its user, in one place, without a
// gateway's prefix or a line end (kivo/console.h). A wording noted "kept" is
// the one the plug-in has always printed, which users and their scripts
// know: it stays to the letter.
#pragma once

#include <cstdint>
#include <string>

namespace kivo::messages {

// 'open' refused (FailureKind::refused).
inline constexpr const char* kAlreadyOpen = "already open, call velto('close') first";
inline constexpr const char* kSavedirHoldsNul = "savedir must not contain a NUL character";
inline constexpr const char* kInvalidPort = "invalid port (must be between 1 and 65535)";            // kept
inline constexpr const char* kInvalidChannels = "invalid # of channels (must be between 1 and 16)";  // kept
inline constexpr const char* kInvalidFilter =
    "filter coefficients MUST describe 2nd order butterworth!";  // kept
std::string names_taken(const std::string& path);

// A set-up step of 'open' failed (FailureKind::set_up).
inline constexpr const char* kReceiverNotStarted = "Could not spawn off pthread";           // kept
inline constexpr const char* kSaverNotStarted = "Could not spawn off file saving pthread";  // kept
inline constexpr const char* kSocketNotCreated = "Could not create socket";                 // kept
inline constexpr const char* kAddressReuseRefused = "setsockopt";                           // kept
inline constexpr const char* kPortNotBound = "Cannot bind port";                            // kept (Windows)
std::string bind_failed(const std::string& reason);  // kept: "bind - " and the reason (POSIX)
// Printed before the error (Windows): "socket() failed with error 10048".
std::string call_failed(const char* call, int code);  // kept

// Printed while 'open' goes on without the file (Severity::error).
std::string samples_not_saved(const std::string& path);           // kept
std::string filtered_samples_not_saved(const std::string& path);  // kept
std::string metadata_not_saved(const std::string& path);

// 'mark' refused (FailureKind::refused).
inline constexpr const char* kNothingToMark = "no acquisition is open to mark";
std::string mark_value_out_of_range();
std::string mark_text_too_long();
std::string mark_not_written(const std::string& path, const std::string& reason);

// 'open' succeeded (Severity::note).
std::string connection_opened(int port);  // kept

// What 'close' found (Severity::warning).
std::string blocks_not_written(uint64_t count, const std::string& path, const std::string& reason);
std::string writer_fell_behind(uint64_t times, const std::string& path);
std::string dropped_by_system(uint64_t count, const std::string& path);
std::string removed_while_written(const std::string& path, uint64_t blocks);
std::string renamed_while_written(const std::string& path, uint64_t blocks);
std::string socket_shut_down_elsewhere(int port);
std::string close_failed(const std::string& path);
std::string metadata_not_completed(const std::string& path, const std::string& reason);
std::string filtered_samples_clipped(uint64_t count);
std::string nothing_saved(const std::string& path);

}  // namespace kivo::messages
