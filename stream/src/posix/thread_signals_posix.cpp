#include <pthread.h>
#include <signal.h>

#include <initializer_list>

#include "kivo/thread_signals.h"

namespace kivo {

void block_signals_in_this_thread() {
  sigset_t all;
  sigfillset(&all);
  // Faults must still reach the thread that caused them.
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT}) sigdelset(&all, fault);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

}  // namespace kivo
