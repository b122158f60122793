#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "velmar/error.hpp"
#include "velmar/posix_platform.hpp"

extern char** environ;

namespace velmar::posix {
namespace {

constexpr std::size_t kLongestErrorLine = 1000;
constexpr int kStopGraceMs = 2000;

void SetNonBlocking(int fd) {
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
}

std::string StatusText(int status) {
  if (WIFEXITED(status)) return "it exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "it was ended by signal " + std::to_string(WTERMSIG(status));
  return "it stopped";
}

}  // namespace

// The program's standard error, read as it comes and cut into lines for the host.
class PosixProcessPort::ErrorPipe : public ::velmar::posix::DescriptorSource {
 public:
  ErrorPipe(DescriptorWatch& loop, int fd, std::function<void(const std::string&)>& handler)
      : loop_(loop), fd_(fd), handler_(handler) {
    loop_.AddSource(this);
  }
  ~ErrorPipe() override {
    Drain();
    if (!line_.empty()) Deliver();
    loop_.RemoveSource(this);
    ::close(fd_);
  }
  ErrorPipe(const ErrorPipe&) = delete;
  ErrorPipe& operator=(const ErrorPipe&) = delete;

  int Fd() const override { return open_ ? fd_ : -1; }
  unsigned Events() const override { return kReadable; }
  void OnReady(unsigned) override { Drain(); }

 private:
  void Drain() {
    char chunk[512];
    ssize_t n = -1;
    while (open_ && ((n = ::read(fd_, chunk, sizeof chunk)) > 0 || (n < 0 && errno == EINTR))) {
      for (ssize_t i = 0; i < n; ++i) {
        if (chunk[i] == '\n') {
          Deliver();
        } else if (line_.size() < kLongestErrorLine) {
          line_.push_back(chunk[i]);
        }
      }
    }
    if (n == 0) open_ = false;  // the program closed it (it ended): no more wake-ups for it
  }
  void Deliver() {
    if (!line_.empty() && line_.back() == '\r') line_.pop_back();
    if (handler_) handler_(line_);
    line_.clear();
  }

  DescriptorWatch& loop_;
  int fd_;
  std::function<void(const std::string&)>& handler_;
  std::string line_;
  bool open_ = true;
};

PosixProcessPort::PosixProcessPort(DescriptorWatch& loop, std::vector<std::string> argv)
    : PosixStreamPort(loop), loop_(loop), argv_(std::move(argv)) {
  if (argv_.empty() || argv_.front().empty()) throw ArgumentError("no program to run");
}

PosixProcessPort::~PosixProcessPort() {
  try {
    SetPortOpen(false);
  } catch (const PortError&) {
  }
  Stop();
}

int PosixProcessPort::OpenDescriptor() {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw PortError("cannot start " + Name() + ": no pipe");
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    throw PortError("cannot start " + Name() + ": no pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> args;
  for (std::string& a : argv_) args.push_back(a.data());
  args.push_back(nullptr);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  if (rc != 0) {
    ::close(out[0]);
    ::close(err[0]);
    throw PortError("cannot start " + Name() + ": " + std::strerror(rc));
  }
  pid_ = pid;
  ended_.clear();
  SetNonBlocking(out[0]);
  SetNonBlocking(err[0]);
  errors_ = std::make_unique<ErrorPipe>(loop_, err[0], error_line_);
  return out[0];
}

std::string PosixProcessPort::Reap(int ms) {
  if (pid_ < 0) return ended_;
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || (r < 0 && errno != EINTR)) {
      pid_ = -1;
      ended_ = r == -1 ? "it ended" : StatusText(status);
      return ended_;
    }
    if (std::chrono::steady_clock::now() >= until) return "";
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

// The program closed its output: it is ending; how it ended says why no more comes.
std::string PosixProcessPort::EndOfStreamReason() {
  const std::string how = Reap(1000);
  errors_.reset();
  return how.empty() ? "it closed its output" : how;
}

// A program that prints its last telegram and exits ends its output in the same wake-up that
// fetches those bytes: it sent them, so they are read before its end is told.
void PosixProcessPort::RequireReadable(const char* operation) const {
  if (lost() && fd() >= 0 && !received().empty()) return;
  RequireUsable(operation);
}

void PosixProcessPort::Stop() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    if (Reap(kStopGraceMs).empty() && pid_ > 0) {
      ::kill(pid_, SIGKILL);
      Reap(kStopGraceMs);
    }
  }
  errors_.reset();
}

void PosixProcessPort::BeforeClose(int) {
  Stop();
}

}  // namespace velmar::posix
