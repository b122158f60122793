#include "process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>

extern char** environ;

namespace velmar::testing {
namespace {

using Clock = std::chrono::steady_clock;

struct Pipe {
  int read = -1;
  int write = -1;
  Pipe() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    read = fds[0];
    write = fds[1];
  }
};

// Starts argv with stdout and stderr on the given descriptors (stderr -1: inherited) and stdin
// on `in` (-1: /dev/null).
pid_t Spawn(const std::vector<std::string>& argv, int out, int err, int in = -1) {
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (in >= 0) {
    posix_spawn_file_actions_adddup2(&actions, in, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_adddup2(&actions, out, STDOUT_FILENO);
  if (err >= 0) posix_spawn_file_actions_adddup2(&actions, err, STDERR_FILENO);
  pid_t pid = -1;
  const int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);
  return pid;
}

int StatusOf(int raw) {
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
}

}  // namespace

ProcessResult RunProcess(const std::vector<std::string>& argv, int limitSeconds) {
  Pipe out, err;
  const pid_t pid = Spawn(argv, out.write, err.write);
  ::close(out.write);
  ::close(err.write);
  ProcessResult result;
  const auto deadline = Clock::now() + std::chrono::seconds(limitSeconds);
  pollfd fds[2] = {{out.read, POLLIN, 0}, {err.read, POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open = 2;
  while (open > 0 && Clock::now() < deadline) {
    if (poll(fds, 2, 200) <= 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sinks[i]->append(buf, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open;
      }
    }
  }
  if (open > 0) ::kill(pid, SIGKILL);
  for (const pollfd& p : fds) {
    if (p.fd >= 0) ::close(p.fd);
  }
  int raw = 0;
  waitpid(pid, &raw, 0);
  result.status = StatusOf(raw);
  return result;
}

BackgroundProcess::BackgroundProcess(const std::vector<std::string>& argv, bool with_input,
                                     bool merge_stderr) {
  Pipe out;
  const int err = merge_stderr ? out.write : -1;
  if (with_input) {
    Pipe in;
    pid_ = Spawn(argv, out.write, err, in.read);
    ::close(in.read);
    in_ = in.write;
  } else {
    pid_ = Spawn(argv, out.write, err);
  }
  ::close(out.write);
  out_ = out.read;
}

BackgroundProcess::~BackgroundProcess() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) ::close(out_);
  if (in_ >= 0) ::close(in_);
}

std::string BackgroundProcess::ReadLine(int limitMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  while (pending_.find('\n') == std::string::npos && Clock::now() < deadline) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0) continue;
    char buf[256];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) break;
    pending_.append(buf, static_cast<std::size_t>(n));
  }
  const auto nl = pending_.find('\n');
  if (nl == std::string::npos) return {};
  std::string line = pending_.substr(0, nl);
  pending_.erase(0, nl + 1);
  return line;
}

int BackgroundProcess::Stop(int signal, int limitMs) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  const auto deadline = Clock::now() + std::chrono::milliseconds(limitMs);
  int raw = 0;
  while (waitpid(pid_, &raw, WNOHANG) == 0) {
    if (Clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      waitpid(pid_, &raw, 0);
      pid_ = -1;
      return -1;
    }
    poll(nullptr, 0, 5);  // the child's exit has no descriptor to wait on
  }
  pid_ = -1;
  return StatusOf(raw);
}

}  // namespace velmar::testing
