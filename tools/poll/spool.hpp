// Readings not yet acknowledged by the broker, kept in arrival order so that neither a broker
// that is away nor a restart of the collector loses one. On disk (SQLite, write-ahead log) while
// the disk takes them; when it refuses (full, failing), in memory, bounded, until the broker has
// them or space returns, when they move to disk in order. Bounded as a whole: when it holds its
// limit, the oldest reading is dropped to make room (and the caller is told).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "spool_rescue.hpp"
#include "velmar/wmbus.hpp"

struct sqlite3;
struct sqlite3_stmt;

namespace velmar::tools {

class Spool {
 public:
  using Entry = SpoolRow;
  // Where a reading went.
  enum class Where { kDisk, kMemory };
  struct Kept {
    Where where = Where::kDisk;
    int dropped = 0;  // old readings dropped to stay within the limits (0 or 1)
  };
  // One line for the log when the disk stops taking readings and when it takes them again.
  using Notes = std::function<void(const std::string&)>;

  // At most this many readings wait in memory while the disk refuses them (about 30 MB).
  static constexpr std::int64_t kMemoryLimit = 10000;

  // Opens FOLDER/readings.sqlite3, creating the folder (0700) and the file (0600) when missing,
  // and holds FOLDER/readings.lock for as long as it lives. A file SQLite finds damaged (at
  // start or later) is moved aside as readings.sqlite3.damaged-<time>, the readings it still
  // holds are kept on a fresh file, and one note says how many were recovered and how many
  // could not be. Throws Error naming the file and the reason when it cannot open or make the
  // file (at start the disk must take it), or naming the other collector's pid when another
  // process holds the folder. Worst case: one read of the whole file. `vfs`
  // names an SQLite file layer other than the default (tests put failures there). Safe to use
  // from several threads.
  Spool(const std::string& folder, std::int64_t limit, Notes notes = {}, const char* vfs = nullptr);
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Keeps a reading: on disk when it takes the write (tens of microseconds), otherwise in memory.
  // Never throws but std::bad_alloc.
  Kept Push(const std::string& topic, const std::string& payload);
  // Up to `count` readings with an id above `after`, oldest first, from disk and memory. A read
  // the disk refuses is noted once (its readings are offered again when it reads); a damaged
  // file is rescued as at start.
  std::vector<Entry> After(std::int64_t after, int count);
  // Forgets a reading the broker has acknowledged. A delete the disk refuses is tried again
  // later; the reading is not offered again meanwhile. Never throws but std::bad_alloc.
  void Remove(std::int64_t id);
  // Readings waiting, and how many of them are in memory.
  std::int64_t Size();
  std::int64_t InMemory();
  const std::string& Path() const { return path_; }
  // Where readings are kept now, for the log: "in PATH (N waiting)", or, while the disk refuses
  // writes, "in memory until the disk holding PATH has room again (N waiting, M of them in
  // memory)".
  std::string Whereabouts();

  // The compact frame formats radio meters have shown, kept beside the readings so that a
  // restarted collector reads a meter's compact frames before its next full frame comes
  // (which may be hours). Formats() gives every one kept (an empty list when the disk will not
  // say); KeepFormat() keeps one more, or replaces the meter's format under that signature,
  // and returns false (with a note) when the disk refuses. Neither throws but std::bad_alloc.
  std::vector<CompactFormats::Format> Formats();
  bool KeepFormat(const CompactFormats::Format& format);

 private:
  int Open();
  int QuickCheck();
  int CountOnDisk();
  void Close();
  void Rescue();
  int StepInsert(const Entry& e);
  bool Insert(const Entry& e);
  int StepRemove(std::int64_t id, bool& gone);
  bool DeleteOnDisk(std::int64_t id);
  int ReadAfter(std::int64_t after, int count, std::vector<Entry>& out);
  bool StoreFormat(const CompactFormats::Format& format);
  void DiskRefused(const char* what);
  void MoveMemoryToDisk();
  void DiskTakesWritesAgain();
  void RetryForgotten();
  void DropOldest();
  void LockFolder(const std::string& folder);
  sqlite3_stmt* Prepare(const char* sql);
  [[noreturn]] void Fail(const std::string& what);

  std::mutex mutex_;
  std::string path_;
  std::int64_t limit_;
  Notes notes_;
  const char* vfs_;
  std::string damage_;     // what the start's check of every page found, when not "ok"
  bool rescuing_ = false;  // a damaged file is being replaced: no second rescue inside it
  bool read_refused_ = false;
  std::int64_t next_id_ = 1;
  std::int64_t on_disk_ = 0;          // rows in the table, forgotten ones included
  std::deque<Entry> memory_;          // ids above every id on disk
  std::set<std::int64_t> forgotten_;  // acknowledged, but the delete has not reached the disk
  bool disk_refuses_ = false;
  std::int64_t moved_ = 0;  // readings moved from memory to disk since the disk refused
  int lock_fd_ = -1;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* oldest_ = nullptr;
  sqlite3_stmt* after_ = nullptr;
  sqlite3_stmt* remove_ = nullptr;
};

}  // namespace velmar::tools
