// The console as the recorder writes to it: standard output and standard
// error, where a write may block for as long as nobody reads (a full pipe, a
// terminal paused with Ctrl-S, a Windows console in selection mode) or fail
// for good (the reader went away, the terminal closed). Only the printer
// thread writes through it, so a blocked console holds up nothing else. The
// realisations live in posix/ and win/.
#pragma once

#include <memory>
#include <string>

namespace kivo::recorder {

enum class ConsoleStream { out, err };

class ConsoleOutput {
 public:
  // Main thread, before other threads start and before any file is opened.
  // On POSIX a write to a pipe whose reader has gone then fails instead of
  // ending the process with SIGPIPE, and a standard descriptor that was
  // closed is held by /dev/null, so no file or socket takes its number.
  ConsoleOutput();
  ~ConsoleOutput();
  ConsoleOutput(const ConsoleOutput&) = delete;
  ConsoleOutput& operator=(const ConsoleOutput&) = delete;

  // Printer thread, before its first write: the thread that give_up() wakes.
  void attach_writer_thread();
  // Printer thread only: writes all of `text`. False when the stream cannot
  // take it (broken, closed) or give_up() came first; the text is then lost.
  bool write(ConsoleStream stream, const std::string& text);
  // Any thread, as often as needed: a write that waits for the console
  // returns false soon, and so does every later one.
  void give_up();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace kivo::recorder
