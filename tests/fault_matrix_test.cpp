// Every meter command against every fault the simulated meter can put on the line, in virtual
// time: the result code, the message boxes, the port and Timeout afterwards, a call that ends
// within its time budget, and a clean read that works right after.
#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "decode/meter_data.hpp"
#include "link/link_state.hpp"
#include "virtual_bench.hpp"

namespace velmar {
namespace {

using sim::Fault;
using sim::FaultKind;
using testing::VirtualBench;

const std::string kNoReply = "Communication Timeout. No reply.";
const std::string kStructure = "Communication error. Other Mbus structure error.";
const std::string kStart = "Communication error. Not a correct start byte (Mbus message).";
const std::string kStop = "Communication error. Not a correct End byte (Mbus message).";
const std::string kChecksum = "Communication error. Checksum error in message.";
const std::string kLength = "Com.err. Wrong length in Mbus message compared with recieved data.";
const std::string kBlockType = "Com.err. Expected one type of userdata but recieved another type.";
const std::string kFirstBlock255 =
    "No confirmation on written block (Wrong password/meter closed?):  255";
const std::string kLaterBlock255 = "No confirmation on written tariff block:  255";

enum class Command {
  kRead,
  kGivePassword,
  kChangePassword,
  kSetDateTime,
  kSetDateTimeStd,
  kLock,
  kSetIntervals,
  kReadIntervals
};

const char* Name(Command c) {
  static constexpr const char* kNames[] = {"cmd_ReqUD2",   "givePassword",   "ChangePassword",
                                           "SetDateTime",  "SetDateTimeStd", "LockMeter",
                                           "SetIntervals", "ReadIntervals"};
  return kNames[static_cast<int>(c)];
}

// The longest a call may take, in virtual ms: its fixed pauses and line time at 2400 baud, plus
// for every reply it waits for the 3.1 s first-byte wait and the 2.1 s a reply may take to
// fall silent. A call past this has hung in some wait.
int BudgetMs(Command c) {
  switch (c) {
    case Command::kSetIntervals:
      return 14000;  // two blocks of 209 and 119 bytes, two acks, two confirmations
    case Command::kReadIntervals:
      return 12000;  // start-up, request, a data telegram
    default:
      return 6000;  // start-up and one exchange
  }
}

// When the fault's exchange comes: the answers before it pass as usual.
std::vector<Fault> AtExchange(int index, Fault fault) {
  std::vector<Fault> faults(static_cast<std::size_t>(index), Fault{FaultKind::kNone});
  faults.push_back(fault);
  return faults;
}

// An answer whose first byte arrives `intoWaitMs` after the reply wait began; the command
// pauses `pauseMs` between its frame and that wait.
Fault AnswerInto(int intoWaitMs, int pauseMs) {
  return {FaultKind::kDelay, pauseMs + intoWaitMs};
}

struct Case {
  Command command;
  std::string fault;  // for the failure message
  std::vector<Fault> faults;
  int result;
  std::vector<std::string> boxes;  // texts, each with the title "Error"
  bool portOpen;
  bool timeout;
};

void PrintTo(const Case& c, std::ostream* os) {
  *os << Name(c.command) << " / " << c.fault;
}

constexpr int kReadPause = 150;   // REQ_UD2 to reply wait, also in every data request
constexpr int kBlockPause = 100;  // tariff block to its acknowledge wait
constexpr int kNoPause = 0;       // single-frame writes wait at once

// The faults of one acknowledged exchange, for a command whose result codes for no reply and
// a reply that is not an acknowledge are given, and whose port is left `openOnFailure`.
std::vector<Case> AckCases(Command c, int exchange, int pause, int noReply, int notAck,
                           bool openOnFailure, bool openOnSuccess) {
  auto at = [&](Fault f) { return AtExchange(exchange, f); };
  return {
      {c, "silence", at({FaultKind::kSilence}), noReply, {kNoReply}, openOnFailure, true},
      {c, "answer 3.0 s into the wait", at(AnswerInto(3000, pause)), 0, {}, openOnSuccess, false},
      {c,
       "answer 3.2 s into the wait",
       at(AnswerInto(3200, pause)),
       noReply,
       {kNoReply},
       openOnFailure,
       true},
      {c,
       "trickle past 2.1 s",
       at({FaultKind::kTrickle}),
       noReply,
       {kNoReply},
       openOnFailure,
       true},
      {c, "NACK", at({FaultKind::kNack}), notAck, {kStructure}, openOnFailure, false},
      {c, "garbage", at({FaultKind::kGarbage}), notAck, {kStructure}, openOnFailure, false},
      {c,
       "wrong first byte",
       at({FaultKind::kBadStart}),
       notAck,
       {kStructure},
       openOnFailure,
       false},
      {c, "extra bytes after E5", at({FaultKind::kExtraBytes}), 0, {}, openOnSuccess, false},
  };
}

std::vector<Case> ReadCases() {
  const Command c = Command::kRead;
  auto at = [](Fault f) { return AtExchange(1, f); };  // after the SND_NKE acknowledge
  return {
      {c, "silence", at({FaultKind::kSilence}), 0, {}, false, true},
      {c, "answer 3.0 s into the wait", at(AnswerInto(3000, kReadPause)), 0, {}, false, false},
      {c, "answer 3.2 s into the wait", at(AnswerInto(3200, kReadPause)), 0, {}, false, true},
      {c, "trickle past 2.1 s", at({FaultKind::kTrickle}), 0, {}, false, true},
      {c, "checksum", at({FaultKind::kBadChecksum}), -4, {kChecksum}, false, false},
      {c, "start byte", at({FaultKind::kBadStart}), -1, {kStart}, false, false},
      {c, "stop byte", at({FaultKind::kBadStop}), -2, {kStop}, false, false},
      {c, "C field", at({FaultKind::kBadControl}), -3, {kStructure}, false, false},
      {c, "CI field", at({FaultKind::kBadCi}), -3, {kStructure}, false, false},
      {c, "L field past the data", at({FaultKind::kLongLength}), -6, {kLength}, false, false},
      {c,
       "extra bytes after the stop byte",
       at({FaultKind::kExtraBytes}),
       -2,
       {kStop},
       false,
       false},
      {c, "NACK", at({FaultKind::kNack}), -3, {kStructure}, false, false},
      {c, "garbage", at({FaultKind::kGarbage}), -3, {kStructure}, false, false},
  };
}

std::vector<Case> SetIntervalsCases() {
  const Command c = Command::kSetIntervals;
  // Exchanges: 0 first block, 1 its confirmation, 2 second block, 3 its confirmation.
  std::vector<Case> cases = AckCases(c, 0, kBlockPause, -5, -5, false, false);
  for (Case& k : cases) k.fault = "first block: " + k.fault;
  auto confirm = [](Fault f) { return AtExchange(1, f); };
  const std::vector<Case> more = {
      {c,
       "first confirmation: silence",
       confirm({FaultKind::kSilence}),
       -5,
       {kFirstBlock255},
       true,
       true},
      {c,
       "first confirmation: block type",
       confirm({FaultKind::kBadBlockType}),
       -5,
       {kBlockType, kFirstBlock255},
       true,
       false},
      {c,
       "first confirmation: start byte",
       confirm({FaultKind::kBadStart}),
       -5,
       {kStart, kFirstBlock255},
       true,
       false},
      // The status byte is stored before the checksum is compared: the block counts as
      // confirmed and the transfer goes on.
      {c,
       "first confirmation: checksum",
       confirm({FaultKind::kBadChecksum}),
       0,
       {kChecksum},
       false,
       false},
      {c,
       "first confirmation: status 5",
       {{FaultKind::kConfirmStatus, 5}},
       -5,
       {"No confirmation on written block (Wrong password/meter closed?):  5"},
       true,
       false},
      {c,
       "second block: silence",
       AtExchange(2, {FaultKind::kSilence}),
       -5,
       {kNoReply},
       false,
       true},
      {c, "second block: NACK", AtExchange(2, {FaultKind::kNack}), -5, {kStructure}, false, false},
      {c,
       "second confirmation: silence",
       AtExchange(3, {FaultKind::kSilence}),
       -5,
       {kLaterBlock255},
       true,
       true},
      {c,
       "second confirmation: block type",
       AtExchange(3, {FaultKind::kBadBlockType}),
       -5,
       {kBlockType, kLaterBlock255},
       true,
       false},
  };
  cases.insert(cases.end(), more.begin(), more.end());
  return cases;
}

std::vector<Case> ReadIntervalsCases() {
  const Command c = Command::kReadIntervals;
  // Exchanges: 0 SND_NKE, 1 the read request, 2 the data telegram.
  auto request = [](Fault f) { return AtExchange(1, f); };
  auto data = [](Fault f) { return AtExchange(2, f); };
  return {
      {c, "request: silence", request({FaultKind::kSilence}), -2, {kNoReply}, false, true},
      {c,
       "request: answer 3.2 s into the wait",
       request(AnswerInto(3200, kNoPause)),
       -2,
       {kNoReply},
       false,
       true},
      {c, "request: NACK", request({FaultKind::kNack}), -3, {kStructure}, false, false},
      {c, "request: garbage", request({FaultKind::kGarbage}), -3, {kStructure}, false, false},
      {c, "data: silence", data({FaultKind::kSilence}), -4, {}, false, true},
      {c, "data: checksum", data({FaultKind::kBadChecksum}), -4, {kChecksum}, false, false},
      {c, "data: block type", data({FaultKind::kBadBlockType}), -4, {kBlockType}, false, false},
      {c,
       "data: L field past the data",
       data({FaultKind::kLongLength}),
       -4,
       {kLength},
       false,
       false},
      {c, "data: trickle past 2.1 s", data({FaultKind::kTrickle}), -4, {}, false, true},
  };
}

std::vector<Case> AllCases() {
  std::vector<Case> all = ReadCases();
  auto add = [&](std::vector<Case> more) { all.insert(all.end(), more.begin(), more.end()); };
  // givePassword never closes the port; the fault hits the password, after the SND_NKE.
  add(AckCases(Command::kGivePassword, 1, kNoPause, -3, -4, true, true));
  add(AckCases(Command::kChangePassword, 0, kNoPause, -2, -3, true, false));
  add(AckCases(Command::kSetDateTime, 0, kNoPause, -3, -3, true, false));
  add(AckCases(Command::kSetDateTimeStd, 0, kNoPause, -3, -3, true, false));
  add(AckCases(Command::kLock, 0, kNoPause, -2, -3, false, false));
  add(SetIntervalsCases());
  add(ReadIntervalsCases());
  return all;
}

// Write commands run in a sequence the password opened; the meter must have accepted it.
bool NeedsPassword(Command c) {
  return c != Command::kRead && c != Command::kGivePassword && c != Command::kReadIntervals;
}

int RunCommand(Command c, Velmar& v) {
  std::string password = "00000000";
  std::string clock = "101500241226";
  std::uint8_t mode = 3;
  std::vector<std::uint8_t> table = {0x01, 0x06, 0x00, 0x02, 0x16, 0x00, 0x03};
  std::int32_t len = static_cast<std::int32_t>(table.size());
  std::vector<std::uint8_t> back(399);
  switch (c) {
    case Command::kRead:
      return v.cmd_ReqUD2();
    case Command::kGivePassword:
      return v.givePassword(password);
    case Command::kChangePassword:
      return v.ChangePassword(password);
    case Command::kSetDateTime:
      return v.SetDateTime(clock);
    case Command::kSetDateTimeStd:
      return v.SetDateTimeStd(clock);
    case Command::kLock:
      return v.LockMeter(mode);
    case Command::kSetIntervals:
      return v.SetIntervals(table, len);
    case Command::kReadIntervals:
      return v.ReadIntervals(back, len);
  }
  return 1;
}

// Lets virtual time pass until the line is quiet: a late answer of the faulty exchange must not
// be taken for the answer to the next call. A trickled 201-byte telegram takes 13 s.
void LetTheLineSettle(virt::VirtualEventLoop& loop) {
  const virt::Nanos until = loop.Now() + virt::Ms(20000);
  loop.At(until, [] {});
  while (loop.Now() < until) loop.WaitForEvents();
}

class FaultMatrix : public ::testing::TestWithParam<Case> {};

// With noErrorPopup set the same failure gives the same result and port, and no message box.
void RunCase(const Case& c, bool quiet) {
  SCOPED_TRACE(quiet ? "noErrorPopup set" : "noErrorPopup clear");
  VirtualBench b;
  Velmar& v = *b.control;
  v.noErrorPopup(quiet);
  if (NeedsPassword(c.command)) {
    std::string password = "00000000";
    ASSERT_EQ(v.givePassword(password), 0);
  }
  for (const Fault& f : c.faults) b.meter.InjectFault(f);

  const virt::Nanos start = b.loop.Now();
  EXPECT_EQ(RunCommand(c.command, v), c.result);
  EXPECT_LE(b.Elapsed(start), virt::Ms(BudgetMs(c.command)));
  std::vector<std::string> texts;
  for (const auto& shown : b.messages.shown) {
    texts.push_back(shown.text);
    EXPECT_EQ(shown.title, std::optional<std::string>("Error")) << shown.text;
  }
  EXPECT_EQ(texts, quiet ? std::vector<std::string>{} : c.boxes);
  EXPECT_EQ(b.port->PortOpen(), c.portOpen);
  EXPECT_EQ(v.Timeout(), c.timeout);
  EXPECT_EQ(LinkState().bytesToDecode, 0);

  // The next call starts from a state the failure did not spoil.
  b.meter.ClearFaults();
  LetTheLineSettle(b.loop);
  b.messages.shown.clear();
  ASSERT_EQ(v.cmd_ReqUD2(), 0);
  EXPECT_EQ(v.MeterID(), Variant(b.meter.config().identNumber));
  EXPECT_FALSE(v.Timeout());
  EXPECT_TRUE(b.messages.shown.empty());
  EXPECT_FALSE(b.port->PortOpen());
}

TEST_P(FaultMatrix, EndsWithItsCodeAndLeavesACleanState) {
  RunCase(GetParam(), false);
  RunCase(GetParam(), true);
}

INSTANTIATE_TEST_SUITE_P(EveryCommandAndFault, FaultMatrix, ::testing::ValuesIn(AllCases()));

}  // namespace
}  // namespace velmar
