#include "signal_watch.hpp"

#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstring>

namespace velmar::tools {
namespace {

sigset_t Watched() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, s);
  return set;
}

std::string SignalName(int signal) {
  const char* abbreviation = sigabbrev_np(signal);
  return abbreviation ? std::string("SIG") + abbreviation : "signal " + std::to_string(signal);
}

}  // namespace

Interrupted::Interrupted(int signal)
    : Error("interrupted by " + SignalName(signal)), signal_(signal) {}

SignalWatch::SignalWatch(posix::DescriptorWatch& loop) : loop_(loop) {
  const sigset_t set = Watched();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  fd_ = signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
  if (fd_ < 0) throw Error(std::string("cannot watch for signals: ") + std::strerror(errno));
  loop_.AddSource(this);
}

SignalWatch::~SignalWatch() {
  loop_.RemoveSource(this);
  ::close(fd_);
}

int SignalWatch::Take() {
  signalfd_siginfo info{};
  if (::read(fd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) return 0;
  if (received_ == 0) received_ = static_cast<int>(info.ssi_signo);
  return static_cast<int>(info.ssi_signo);
}

int SignalWatch::Received() {
  while (Take() != 0) {
  }
  return received_;
}

void SignalWatch::OnReady(unsigned) {
  const int signal = Take();
  if (signal == 0) return;
  if (handler_) {
    handler_(signal);
    return;
  }
  // Pending again (it stays blocked), so a wait that swallowed this one ends at its next pass.
  pthread_kill(pthread_self(), signal);
  throw Interrupted(signal);
}

}  // namespace velmar::tools
