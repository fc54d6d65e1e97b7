#include "kivosim_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kivosim_test {
namespace {

constexpr int kReceiveBufferBytes = 16 << 20;
constexpr int kQuietAfterExitMs = 500;
constexpr int kPollMs = 100;
constexpr int kGiveUpMs = 60'000;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

[[noreturn]] void exec_kivosim(const std::string& dir, const std::vector<std::string>& args) {
  const int out = ::open((dir + "/out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  const int err = ::open((dir + "/err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(126);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(KIVOSIM_PATH));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  ::execv(KIVOSIM_PATH, argv.data());
  ::_exit(127);
}

}  // namespace

LoopbackReceiver::LoopbackReceiver() {
  fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throw std::runtime_error("socket");
  // SO_RCVBUFFORCE goes past net.core.rmem_max where the test may; SO_RCVBUF otherwise.
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &kReceiveBufferBytes, sizeof kReceiveBufferBytes) != 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    throw std::runtime_error("bind");
  }
  port_ = ntohs(address.sin_port);
}

LoopbackReceiver::~LoopbackReceiver() { ::close(fd_); }

std::optional<std::vector<uint8_t>> LoopbackReceiver::receive(int timeout_ms) {
  pollfd waiting{fd_, POLLIN, 0};
  if (::poll(&waiting, 1, timeout_ms) <= 0) return std::nullopt;
  std::vector<uint8_t> datagram(65536);
  const ssize_t n = ::recv(fd_, datagram.data(), datagram.size(), 0);
  if (n < 0) return std::nullopt;
  datagram.resize(static_cast<size_t>(n));
  return datagram;
}

KivosimProcess::KivosimProcess(const std::vector<std::string>& args) {
  char dir[] = "/tmp/kivosim_test_XXXXXX";
  if (::mkdtemp(dir) == nullptr) throw std::runtime_error("mkdtemp");
  dir_ = dir;
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork");
  if (pid_ == 0) exec_kivosim(dir_, args);
}

KivosimProcess::~KivosimProcess() {
  if (running()) {
    ::kill(pid_, SIGKILL);
    wait();
  }
  ::unlink((dir_ + "/out").c_str());
  ::unlink((dir_ + "/err").c_str());
  ::rmdir(dir_.c_str());
}

bool KivosimProcess::running() {
  if (pid_ < 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return true;
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  pid_ = -1;
  return false;
}

void KivosimProcess::send_signal(int signal_number) {
  if (pid_ >= 0) ::kill(pid_, signal_number);
}

Finished KivosimProcess::wait() {
  if (pid_ >= 0) {
    int status = 0;
    ::waitpid(pid_, &status, 0);
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    pid_ = -1;
  }
  return Finished{status_, read_file(dir_ + "/out"), read_file(dir_ + "/err")};
}

Finished run_kivosim(const std::vector<std::string>& args) { return KivosimProcess(args).wait(); }

Collected run_and_collect(LoopbackReceiver& receiver, std::vector<std::string> args, size_t expected) {
  args.insert(args.begin(), {"--host", "127.0.0.1", "--port", std::to_string(receiver.port())});
  KivosimProcess process(args);
  Collected result;
  int quiet_ms = 0;
  int waited_ms = 0;
  while (result.datagrams.size() < expected && waited_ms < kGiveUpMs) {
    if (auto datagram = receiver.receive(kPollMs)) {
      result.datagrams.push_back(std::move(*datagram));
      quiet_ms = 0;
      continue;
    }
    waited_ms += kPollMs;
    if (!process.running() && (quiet_ms += kPollMs) >= kQuietAfterExitMs) break;
  }
  result.finished = process.wait();
  return result;
}

std::optional<Summary> parse_summary(const std::string& out) {
  const size_t at = out.find("kivosim: sent ");
  if (at == std::string::npos) return std::nullopt;
  Summary s;
  unsigned long long sent = 0, bytes = 0, skipped = 0;
  int end = -1;
  std::sscanf(out.c_str() + at,
              "kivosim: sent %llu datagrams (%llu bytes) in %lf s: %lf datagrams/s; skipped %llu sequence numbers\n%n",
              &sent, &bytes, &s.seconds, &s.rate, &skipped, &end);
  if (end < 0) return std::nullopt;  // the line ended early or differs in its words
  s.sent = sent;
  s.bytes = bytes;
  s.skipped = skipped;
  return s;
}

}  // namespace kivosim_test
