// A spool file damaged under the collector: moved aside, what SQLite can still read kept, one
// note saying how much, and a collector that goes on instead of refusing to start.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "spool.hpp"
#include "spool_rescue.hpp"

namespace velmar::tools {
namespace {

namespace fs = std::filesystem;

class SpoolRescueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/velmar-rescue-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    file_ = dir_ + "/readings.sqlite3";
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Readings 1..count of `size` bytes each, the file closed (its log folded in).
  void Fill(int count, std::size_t size) {
    Spool spool(dir_, 100000);
    for (int i = 1; i <= count; ++i) spool.Push("t", Payload(i, size));
  }
  static std::string Payload(int i, std::size_t size) {
    std::string p = std::to_string(i) + ":";
    p.resize(size, static_cast<char>('a' + i % 26));
    return p;
  }
  void Overwrite(std::streamoff at, std::size_t n) {
    std::fstream f(file_, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(at);
    f << std::string(n, '\x5A');
  }
  void SetSequence(const char* seq) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file_.c_str(), &db), SQLITE_OK);
    const std::string sql = std::string("UPDATE sqlite_sequence SET seq = ") + seq;
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  std::vector<std::string> Damaged() const {
    std::vector<std::string> out;
    for (const auto& e : fs::directory_iterator(dir_)) {
      const std::string name = e.path().filename().string();
      if (name.rfind("readings.sqlite3.damaged-", 0) == 0 && name.find("-wal") == name.npos &&
          name.find("-shm") == name.npos) {
        out.push_back(name);
      }
    }
    return out;
  }
  std::string dir_;
  std::string file_;
  std::vector<std::string> notes_;
  Spool::Notes Notes() {
    return [this](const std::string& n) { notes_.push_back(n); };
  }
};

// Foreign bytes over the header: SQLite reads nothing, so nothing is recovered and how many
// were lost cannot be told; the collector starts on a fresh file that takes readings.
TEST_F(SpoolRescueTest, AHeaderOverwrittenIsMovedAsideAndAFreshFileTakesReadings) {
  Fill(12, 40);
  Overwrite(0, 100);
  Spool spool(dir_, 100, Notes());
  ASSERT_EQ(notes_.size(), 1u);
  EXPECT_NE(notes_[0].find("damaged"), std::string::npos) << notes_[0];
  EXPECT_NE(notes_[0].find("0 readings recovered"), std::string::npos) << notes_[0];
  EXPECT_NE(notes_[0].find("cannot be told"), std::string::npos) << notes_[0];
  EXPECT_EQ(Damaged().size(), 1u);
  EXPECT_NE(notes_[0].find(Damaged().front()), std::string::npos) << notes_[0];
  EXPECT_EQ(spool.Push("t", "new").where, Spool::Where::kDisk);
  EXPECT_EQ(spool.Size(), 1);
}

// Foreign bytes over one page of readings in the middle: every reading on the other pages
// comes back with its own id and bytes, in order; the note's counts add up to what the file
// held, and a restart finds the recovered readings without a second rescue.
TEST_F(SpoolRescueTest, AMiddlePageOverwrittenLosesOnlyTheReadingsOnIt) {
  constexpr int kHeld = 60;
  Fill(kHeld, 500);  // about seven readings to a 4 KiB page
  const auto size = static_cast<std::streamoff>(fs::file_size(file_));
  Overwrite(size / 2 / 4096 * 4096, 4096);
  std::vector<Spool::Entry> kept;
  {
    Spool spool(dir_, 100000, Notes());
    kept = spool.After(0, 1000);
  }
  ASSERT_EQ(notes_.size(), 1u);
  EXPECT_GT(kept.size(), 40u);
  EXPECT_LT(kept.size(), static_cast<std::size_t>(kHeld));
  for (std::size_t i = 0; i < kept.size(); ++i) {
    EXPECT_EQ(kept[i].payload, Payload(static_cast<int>(kept[i].id), 500));
    if (i > 0) {
      EXPECT_GT(kept[i].id, kept[i - 1].id);
    }
  }
  const std::string recovered = std::to_string(kept.size()) + " readings recovered";
  EXPECT_NE(notes_[0].find(recovered), std::string::npos) << notes_[0];
  const std::string lost = std::to_string(kHeld - static_cast<int>(kept.size()));
  EXPECT_NE(notes_[0].find(lost + " could not be read"), std::string::npos) << notes_[0];

  notes_.clear();
  Spool again(dir_, 100000, Notes());
  EXPECT_TRUE(notes_.empty()) << notes_.front();
  EXPECT_EQ(again.Size(), static_cast<std::int64_t>(kept.size()));
  EXPECT_EQ(again.Push("t", "next").where, Spool::Where::kDisk);
  EXPECT_GT(again.After(kept.back().id, 5).front().id, kept.back().id);
}

// A file cut short (a filesystem that lost its tail): the readings in what is left come back.
TEST_F(SpoolRescueTest, AFileCutShortKeepsTheReadingsBeforeTheCut) {
  Fill(60, 500);
  fs::resize_file(file_, fs::file_size(file_) / 2);
  Spool spool(dir_, 100000, Notes());
  ASSERT_EQ(notes_.size(), 1u) << notes_.size();
  const auto kept = spool.After(0, 1000);
  ASSERT_FALSE(kept.empty()) << notes_[0];
  EXPECT_EQ(kept.front().payload, Payload(1, 500));
  for (const auto& e : kept) EXPECT_EQ(e.payload, Payload(static_cast<int>(e.id), 500));
  EXPECT_NE(notes_[0].find("up to " + std::to_string(60 - kept.size()) + " could not be read"),
            std::string::npos)
      << notes_[0];
  EXPECT_EQ(Damaged().size(), 1u);
}

// A file whose damaged page points back into the tree it hangs from (found by fuzzing): reading
// on from there would hand back the same readings again and again. The walk takes each reading
// once, in order, and the collector starts.
TEST_F(SpoolRescueTest, APagePointingBackIntoItsTreeIsReadOnceAndTheWalkEnds) {
  fs::copy_file(VELMAR_TEST_DATA "/spool-a-page-pointing-back.sqlite3", file_);
  Spool spool(dir_, 100000, Notes());
  ASSERT_EQ(notes_.size(), 1u);
  EXPECT_NE(notes_[0].find("is damaged"), std::string::npos) << notes_[0];
  std::vector<std::string> seen;
  std::int64_t last = 0;
  for (const auto& e : spool.After(0, 100000)) {
    EXPECT_GT(e.id, last);
    last = e.id;
    EXPECT_EQ(std::count(seen.begin(), seen.end(), e.payload), 0) << e.payload;
    seen.push_back(e.payload);
  }
  EXPECT_EQ(Damaged().size(), 1u);
}

// The last page of readings overwritten in a file whose id counter was damaged to the largest
// id there is: every look past the damage fails, and the walk must still end without its
// arithmetic running over, keep the readings before the page and give a bound that is a count.
TEST_F(SpoolRescueTest, ADamagedIdCounterAndADamagedLastPageEndTheWalk) {
  Fill(60, 500);
  SetSequence("9223372036854775807");
  Overwrite(static_cast<std::streamoff>(fs::file_size(file_)) - 4096, 4096);
  Spool spool(dir_, 100000, Notes());
  ASSERT_EQ(notes_.size(), 1u);
  const auto kept = spool.After(0, 1000);
  ASSERT_FALSE(kept.empty()) << notes_[0];
  EXPECT_LT(kept.size(), 60u);
  for (const auto& e : kept) EXPECT_EQ(e.payload, Payload(static_cast<int>(e.id), 500));
  EXPECT_EQ(notes_[0].find(" -"), std::string::npos) << notes_[0];
  EXPECT_NE(notes_[0].find("could not be read"), std::string::npos) << notes_[0];
}

// A reading whose row is there but whose text holds a NUL (a page half overwritten) is not
// taken, and the count of what was lost is the rows the file holds less those read: one here,
// not all of them.
TEST(SpoolRecovery, WhatWasLostIsTheRowsLessTheReadingsRead) {
  sqlite3* db = nullptr;
  ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
  sqlite3_exec(db,
               "CREATE TABLE readings(id INTEGER PRIMARY KEY AUTOINCREMENT, topic TEXT, "
               "payload TEXT); INSERT INTO readings(topic, payload) VALUES ('t', 'a'), ('t', 'b'), "
               "('t', CAST(X'6300' AS TEXT)), ('t', 'd')",
               nullptr, nullptr, nullptr);
  SpoolRescue rescue;
  ReadWhatRemains(db, rescue);
  sqlite3_close(db);
  ASSERT_EQ(rescue.readings.size(), 3u);
  EXPECT_EQ(rescue.readings[2].payload, "d");
  ASSERT_TRUE(rescue.lost.has_value());
  EXPECT_EQ(*rescue.lost, 1);
  EXPECT_FALSE(rescue.lostIsBound);
}

}  // namespace
}  // namespace velmar::tools
