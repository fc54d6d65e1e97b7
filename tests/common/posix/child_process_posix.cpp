#include <fcntl.h>
#include <signal.h>
#include <unistd.h>
#include <sys/wait.h>

#include "child_process.h"
#include "wait_until.h"

namespace kivo_test {
namespace {

constexpr auto kPoll = std::chrono::milliseconds(20);

// Child side of fork(): only async-signal-safe calls until exec.
[[noreturn]] void exec_child(const std::vector<char*>& argv, const std::string& workdir,
                             const std::string& out, const std::string& err) {
  const int out_fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int err_fd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (out_fd < 0 || err_fd < 0 || ::dup2(out_fd, 1) < 0 || ::dup2(err_fd, 2) < 0 ||
      (!workdir.empty() && ::chdir(workdir.c_str()) != 0)) {
    _exit(127);
  }
  // The test runner may have blocked or ignored signals; the child starts clean.
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  ::execv(argv[0], argv.data());
  _exit(127);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& argv, const std::string& workdir,
                           const std::string& output_prefix) {
  std::string prefix = output_prefix;
  if (prefix.empty()) {
    own_output_ = std::make_unique<TempDir>("child");
    prefix = (own_output_->path() / "child").string();
  }
  out_path_ = prefix + ".stdout";
  err_path_ = prefix + ".stderr";
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ == 0) exec_child(args, workdir, out_path_, err_path_);
  if (pid_ < 0) ended_ = true;
}

ChildProcess::~ChildProcess() {
  if (!ended_) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
}

void ChildProcess::send_signal(int signal_number) {
  if (!ended_) ::kill(pid_, signal_number);
}

bool ChildProcess::reap(bool block) {
  if (ended_) return true;
  int status = 0;
  const pid_t done = ::waitpid(pid_, &status, block ? 0 : WNOHANG);
  if (done != pid_) return false;
  ended_ = true;
  if (WIFEXITED(status)) status_ = WEXITSTATUS(status);
  return true;
}

std::optional<int> ChildProcess::wait(std::chrono::seconds limit) {
  wait_until([&] { return reap(false); }, limit, kPoll);
  return status_;
}

std::string ChildProcess::out() const { return file_text(out_path_); }
std::string ChildProcess::err() const { return file_text(err_path_); }

bool ChildProcess::wait_for_output(const std::string& text, std::chrono::seconds limit) {
  const auto printed = [&] { return out().find(text) != std::string::npos; };
  wait_until([&] { return printed() || reap(false); }, limit, kPoll);
  return printed();
}

}  // namespace kivo_test
