// The plug-in's one entry point. Commands are dispatched from the table
// below; every error a handler throws becomes the host's error here, and
// nowhere else.
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <string>

#include "commands.h"
#include "mex.h"
#include "mx_args.h"

namespace velto {
namespace {

struct Command {
  const char* name;
  CommandHandler handler;
};

// Matched case-sensitively against the whole command word.
constexpr Command kCommands[] = {
    {"open", opencmd},       {"read", readcmd},     {"samples", samplescmd},      {"close", closecmd},
    {"version", versioncmd}, {"status", statuscmd}, {"fit_sample_clock", fitcmd}, {"mark", markcmd},
};

// Runs when the host unloads the plug-in (clear velto, clear all, exit): the
// threads must not outlive the code they run.
void on_unload() { acquisition().close(kivo::EndReason::unloaded); }

void dispatch(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  static bool unload_hook = false;
  if (!unload_hook) unload_hook = mexAtExit(on_unload) == 0;
  if (nrhs == 0 || !mxIsChar(prhs[0])) {
    throw std::runtime_error("velto: invalid usage, 1st argument must be a string.");
  }
  const std::string word = mxArray2String(prhs[0]);
  for (const Command& command : kCommands) {
    if (word == command.name) {
      command.handler(nlhs, plhs, nrhs, prhs);
      return;
    }
  }
  throw std::runtime_error("velto: unknown command");
}

// Runs the call; on failure leaves the message in `message` and returns false.
// Every object of the call has ended by the time it returns.
bool run(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[], char* message, size_t size) {
  try {
    dispatch(nlhs, plhs, nrhs, prhs);
    return true;
  } catch (const std::bad_alloc&) {
    std::snprintf(message, size, "%s", "velto: out of memory");
  } catch (const kivo::AcquisitionError& error) {
    // A refused request is the plug-in's own error, named as such; a failed
    // set-up step (socket, thread) is said as the plug-in always said it, bare.
    const bool refused = error.kind() == kivo::FailureKind::refused;
    std::snprintf(message, size, "%s%s", refused ? "velto: " : "", error.what());
  } catch (const std::runtime_error& error) {
    std::snprintf(message, size, "%s", error.what());
  } catch (const std::exception& error) {
    std::snprintf(message, size, "velto: %s", error.what());
  } catch (...) {
    std::snprintf(message, size, "%s", "velto: internal error");
  }
  return false;
}

}  // namespace
}  // namespace velto

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  static char message[2048];
  if (!velto::run(nlhs, plhs, nrhs, prhs, message, sizeof message)) {
    mexErrMsgTxt(message);  // does not return
  }
}
