#include "spool.hpp"

#include <sqlite3.h>

#include <filesystem>

#include "velmar/error.hpp"

namespace velmar::tools {

Spool::Spool(const std::string& folder, std::int64_t limit)
    : path_(folder + "/readings.sqlite3"), limit_(limit) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) throw Error("spool folder " + folder + ": " + ec.message());
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
      SQLITE_OK) {
    Fail("cannot open");
  }
  sqlite3_busy_timeout(db_, 2000);
  // A write-ahead log survives the collector being killed; NORMAL sync keeps a reading's write
  // in the tens of microseconds (only a power cut can take the last few).
  Exec("PRAGMA journal_mode=WAL");
  Exec("PRAGMA synchronous=NORMAL");
  Exec(
      "CREATE TABLE IF NOT EXISTS readings (id INTEGER PRIMARY KEY AUTOINCREMENT, "
      "topic TEXT NOT NULL, payload TEXT NOT NULL)");
  insert_ = Prepare("INSERT INTO readings (topic, payload) VALUES (?, ?)");
  oldest_ = Prepare("DELETE FROM readings WHERE id = (SELECT MIN(id) FROM readings)");
  after_ = Prepare("SELECT id, topic, payload FROM readings WHERE id > ? ORDER BY id LIMIT ?");
  remove_ = Prepare("DELETE FROM readings WHERE id = ?");
  sqlite3_stmt* count = Prepare("SELECT COUNT(*) FROM readings");
  if (sqlite3_step(count) == SQLITE_ROW) size_ = sqlite3_column_int64(count, 0);
  sqlite3_finalize(count);
}

Spool::~Spool() {
  for (sqlite3_stmt* s : {insert_, oldest_, after_, remove_}) sqlite3_finalize(s);
  sqlite3_close(db_);
}

void Spool::Fail(const std::string& what) {
  const std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
  throw Error("spool " + path_ + ": " + what + ": " + why);
}

void Spool::Exec(const char* sql) {
  if (sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) != SQLITE_OK) Fail(sql);
}

sqlite3_stmt* Spool::Prepare(const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) != SQLITE_OK) Fail(sql);
  return s;
}

int Spool::Push(const std::string& topic, const std::string& payload) {
  std::lock_guard lock(mutex_);
  int dropped = 0;
  if (size_ >= limit_) {
    sqlite3_reset(oldest_);
    if (sqlite3_step(oldest_) != SQLITE_DONE) Fail("dropping the oldest reading");
    if (sqlite3_changes(db_) > 0) {
      --size_;
      dropped = 1;
    }
  }
  sqlite3_reset(insert_);
  sqlite3_bind_text(insert_, 1, topic.data(), static_cast<int>(topic.size()), SQLITE_TRANSIENT);
  sqlite3_bind_text(insert_, 2, payload.data(), static_cast<int>(payload.size()), SQLITE_TRANSIENT);
  if (sqlite3_step(insert_) != SQLITE_DONE) Fail("keeping a reading");
  ++size_;
  return dropped;
}

std::vector<Spool::Entry> Spool::After(std::int64_t after, int count) {
  std::lock_guard lock(mutex_);
  std::vector<Entry> out;
  sqlite3_reset(after_);
  sqlite3_bind_int64(after_, 1, after);
  sqlite3_bind_int(after_, 2, count);
  while (sqlite3_step(after_) == SQLITE_ROW) {
    Entry e;
    e.id = sqlite3_column_int64(after_, 0);
    e.topic = reinterpret_cast<const char*>(sqlite3_column_text(after_, 1));
    e.payload = reinterpret_cast<const char*>(sqlite3_column_text(after_, 2));
    out.push_back(std::move(e));
  }
  return out;
}

void Spool::Remove(std::int64_t id) {
  std::lock_guard lock(mutex_);
  sqlite3_reset(remove_);
  sqlite3_bind_int64(remove_, 1, id);
  if (sqlite3_step(remove_) != SQLITE_DONE) Fail("forgetting a published reading");
  if (sqlite3_changes(db_) > 0) --size_;
}

std::int64_t Spool::Size() {
  std::lock_guard lock(mutex_);
  return size_;
}

}  // namespace velmar::tools
