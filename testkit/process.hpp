// Running the velmar executable as a black box: a command to completion with its output and exit
// status, or a long-running one (the simulator) in the background.
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace velmar::testing {

struct ProcessResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs argv[0] with the arguments; a process still running after `limitSeconds` is killed, so a
// hang fails the test instead of stalling the run.
ProcessResult RunProcess(const std::vector<std::string>& argv, int limitSeconds = 60);

class BackgroundProcess {
 public:
  // With `with_input` its standard input is a pipe the test writes to (Input()); with
  // `merge_stderr` ReadLine also sees what it writes on stderr (a log).
  explicit BackgroundProcess(const std::vector<std::string>& argv, bool with_input = false,
                             bool merge_stderr = false);
  ~BackgroundProcess();
  BackgroundProcess(const BackgroundProcess&) = delete;
  BackgroundProcess& operator=(const BackgroundProcess&) = delete;

  // The next line of its standard output, without the newline ("" when none came in time).
  std::string ReadLine(int limitMs = 10000);
  // Sends SIGINT and returns the exit status; -1 (and the process killed) when it has not ended
  // within `limitMs`.
  int Interrupt(int limitMs = 30000) { return Stop(SIGINT, limitMs); }
  // The same with another signal (SIGTERM, SIGKILL).
  int Stop(int signal, int limitMs = 30000);
  bool Running() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }
  // The write end of its standard input, or -1 when it was started without one.
  int Input() const { return in_; }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  int in_ = -1;
  std::string pending_;
};

}  // namespace velmar::testing
