// What a read or a radio telegram came to, as the tools publish it: the numbers and words are
// an interface (the collector's messages, velmar's JSON, the README's lists), so each is pinned
// here to the documented one.
#include <gtest/gtest.h>

#include <set>
#include <string>

#include "velmar/status.hpp"

namespace velmar {
namespace {

TEST(Status, PublishedNumbersAndWordsAreTheDocumentedOnes) {
  const struct {
    Status status;
    std::int16_t linkResult;
    std::int16_t code;
    const char* text;
  } documented[] = {
      {Status::kOk, 0, 0, "ok"},
      {Status::kNoReply, 0, -10, "no reply"},
      {Status::kCollision, 0, -11, "collision"},
      {Status::kNoKey, 0, -12, "no key"},
      {Status::kWrongKey, 0, -13, "wrong key"},
      {Status::kAuthenticationFailed, 0, -13, "authentication failed"},
      {Status::kDamagedFrame, 0, -14, "damaged frame"},
      {Status::kUnreadableRecords, 0, -14, "unreadable records"},
      {Status::kModeNotSupported, 0, -15, "mode not supported"},
      {Status::kFormatNotYetKnown, 0, -16, "compact frame, format not yet known"},
      // A wired reply that failed the link check publishes that check's code.
      {Status::kDamagedReply, -1, -1, "damaged reply"},
      {Status::kDamagedReply, -6, -6, "damaged reply"},
      {Status::kDamagedReply, 0, -3, "damaged reply"},
      {Status::kChecksum, -4, -4, "checksum error"},
      {Status::kChecksum, 0, -4, "checksum error"},
      {Status::kPortError, 0, -1, "port error"},
  };
  for (const auto& d : documented) {
    SCOPED_TRACE(d.text);
    EXPECT_EQ(StatusCode(d.status, d.linkResult), d.code);
    EXPECT_EQ(StatusText(d.status), d.text);
  }
  // Every status has a text of its own.
  std::set<std::string_view> texts;
  for (int s = 0; s <= static_cast<int>(Status::kUnreadableRecords); ++s) {
    EXPECT_TRUE(texts.insert(StatusText(static_cast<Status>(s))).second) << s;
  }
}

}  // namespace
}  // namespace velmar
