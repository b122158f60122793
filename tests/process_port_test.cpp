// A receiver that is a program: its standard output read as a port, its standard error as
// lines for the log, its end told with how it ended, and a program that runs on stopped when
// the port closes. Real processes, so real time: each waits on the loop, never sleeps.
#include <gtest/gtest.h>
#include <signal.h>

#include <cerrno>

#include "velmar/error.hpp"
#include "velmar/posix_platform.hpp"

namespace velmar::posix {
namespace {

// Reads the port until it is gone (or 500 loop passes); what it delivered. A pass waits for the
// program's output, or at most until the guard timer.
std::string ReadUntilGone(PosixEventLoop& loop, PosixProcessPort& port, std::string& why) {
  auto guard = loop.CreateTimer([] {});
  guard->SetInterval(10000);
  guard->SetEnabled(true);
  std::string out;
  for (int pass = 0; pass < 500; ++pass) {
    try {
      if (port.InBufferCount() > 0) {
        const auto bytes = port.Input();
        out.append(bytes.begin(), bytes.end());
        continue;
      }
    } catch (const PortError& e) {
      why = e.what();
      return out;
    }
    loop.WaitForEvents();
  }
  return out;
}

TEST(ProcessPort, AProgramsOutputIsReadItsErrorsAreLinesAndItsEndSaysHow) {
  PosixEventLoop loop;
  PosixProcessPort port(
      loop, {"/bin/sh", "-c", "printf 'one\\ntwo\\n'; echo 'warning: tuner gain' >&2; exit 3"});
  std::vector<std::string> errors;
  port.OnErrorLine([&](const std::string& line) { errors.push_back(line); });
  port.SetPortOpen(true);
  std::string why;
  EXPECT_EQ(ReadUntilGone(loop, port, why), "one\ntwo\n");
  EXPECT_NE(why.find("/bin/sh is gone (it exited with status 3)"), std::string::npos) << why;
  EXPECT_EQ(errors, std::vector<std::string>{"warning: tuner gain"});
  port.SetPortOpen(false);
}

// The program prints and exits before anything is read: its output and its end arrive in one
// wake-up, and the output is still read before the end is told.
TEST(ProcessPort, OutputThatCameBeforeTheEndIsReadBeforeTheEndIsTold) {
  PosixEventLoop loop;
  PosixProcessPort port(loop, {"/bin/sh", "-c", "printf 'last telegram'"});
  port.SetPortOpen(true);
  auto guard = loop.CreateTimer([] {});
  guard->SetInterval(10000);
  guard->SetEnabled(true);
  bool ended = false;
  for (int pass = 0; pass < 500 && !ended; ++pass) {
    loop.WaitForEvents();
    try {
      port.OutBufferCount();  // throws only once the end has been seen
    } catch (const PortError&) {
      ended = true;
    }
  }
  ASSERT_TRUE(ended);
  ASSERT_EQ(port.InBufferCount(), 13);
  const auto bytes = port.Input();
  EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "last telegram");
  EXPECT_THROW(port.InBufferCount(), PortError);
  port.SetPortOpen(false);
}

TEST(ProcessPort, AMissingProgramFailsToOpenAndARunningOneIsStoppedOnClose) {
  PosixEventLoop loop;
  PosixProcessPort missing(loop, {"velmar-no-such-program"});
  try {
    missing.SetPortOpen(true);
    ADD_FAILURE() << "opened";
  } catch (const PortError& e) {
    EXPECT_NE(std::string(e.what()).find("cannot start velmar-no-such-program"), std::string::npos)
        << e.what();
  }
  EXPECT_FALSE(missing.PortOpen());
  PosixProcessPort running(loop, {"sleep", "60"});
  running.SetPortOpen(true);
  const int pid = running.Pid();
  ASSERT_GT(pid, 0);
  running.SetPortOpen(false);
  EXPECT_EQ(::kill(pid, 0), -1);  // reaped: no such process any more
  EXPECT_EQ(errno, ESRCH);
}

}  // namespace
}  // namespace velmar::posix
