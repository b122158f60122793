// Readings not yet acknowledged by the broker, kept on disk in arrival order so that neither a
// broker that is away nor a restart of the collector loses one. Bounded: when it holds its
// limit, the oldest reading is dropped to make room (and the caller is told).
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace velmar::tools {

class Spool {
 public:
  struct Entry {
    std::int64_t id = 0;  // grows with every reading kept: the publishing order
    std::string topic;
    std::string payload;
  };

  // Opens FOLDER/readings.sqlite3, creating the folder and the file when missing. Throws Error
  // naming the file and the reason when it cannot. Safe to use from several threads.
  Spool(const std::string& folder, std::int64_t limit);
  ~Spool();
  Spool(const Spool&) = delete;
  Spool& operator=(const Spool&) = delete;

  // Keeps a reading; the write reaches the disk before it returns (tens of microseconds, a
  // write-ahead log). Returns how many old readings were dropped to stay within the limit (0 or
  // 1). Throws Error when the disk refuses the write.
  int Push(const std::string& topic, const std::string& payload);
  // Up to `count` readings with an id above `after`, oldest first.
  std::vector<Entry> After(std::int64_t after, int count);
  // Forgets a reading the broker has acknowledged.
  void Remove(std::int64_t id);
  std::int64_t Size();
  const std::string& Path() const { return path_; }

 private:
  void Exec(const char* sql);
  sqlite3_stmt* Prepare(const char* sql);
  [[noreturn]] void Fail(const std::string& what);

  std::mutex mutex_;
  std::string path_;
  std::int64_t limit_;
  std::int64_t size_ = 0;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* oldest_ = nullptr;
  sqlite3_stmt* after_ = nullptr;
  sqlite3_stmt* remove_ = nullptr;
};

}  // namespace velmar::tools
