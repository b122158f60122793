#include "spool.hpp"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "velmar/error.hpp"

namespace velmar::tools {
namespace {

// The write-ahead log is folded back into the database every 200 pages, and the file it leaves
// is cut back to 1 MiB: a collector that spools for days keeps a small log beside its readings.
constexpr const char* kWalBound =
    "PRAGMA wal_autocheckpoint=200; PRAGMA journal_size_limit=1048576";

}  // namespace

Spool::Spool(const std::string& folder, std::int64_t limit, Notes notes, const char* vfs)
    : path_(folder + "/readings.sqlite3"), limit_(limit), notes_(std::move(notes)) {
  std::error_code ec;
  // The readings may say more than their owner wants known: the folder and the file are the
  // collector's user's alone when it makes them.
  if (std::filesystem::create_directories(folder, ec) && !ec) {
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
  }
  if (ec) throw Error("spool folder " + folder + ": " + ec.message());
  LockFolder(folder);
  if (const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600); fd >= 0) {
    ::close(fd);
  }
  if (sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, vfs) !=
      SQLITE_OK) {
    Fail("cannot open");
  }
  sqlite3_busy_timeout(db_, 2000);
  // A write-ahead log survives the collector being killed; NORMAL sync keeps a reading's write
  // in the tens of microseconds (only a power cut can take the last few).
  Exec("PRAGMA journal_mode=WAL");
  Exec("PRAGMA synchronous=NORMAL");
  Exec(kWalBound);
  Exec(
      "CREATE TABLE IF NOT EXISTS readings (id INTEGER PRIMARY KEY AUTOINCREMENT, "
      "topic TEXT NOT NULL, payload TEXT NOT NULL)");
  Exec(
      "CREATE TABLE IF NOT EXISTS compact_formats (meter BLOB NOT NULL, signature INTEGER NOT "
      "NULL, difvif BLOB NOT NULL, PRIMARY KEY (meter, signature))");
  insert_ = Prepare("INSERT INTO readings (id, topic, payload) VALUES (?, ?, ?)");
  oldest_ = Prepare("DELETE FROM readings WHERE id = (SELECT MIN(id) FROM readings)");
  after_ = Prepare("SELECT id, topic, payload FROM readings WHERE id > ? ORDER BY id LIMIT ?");
  remove_ = Prepare("DELETE FROM readings WHERE id = ?");
  sqlite3_stmt* count = Prepare("SELECT COUNT(*), COALESCE(MAX(id), 0) FROM readings");
  if (sqlite3_step(count) == SQLITE_ROW) {
    on_disk_ = sqlite3_column_int64(count, 0);
    next_id_ = sqlite3_column_int64(count, 1) + 1;
  }
  sqlite3_finalize(count);
}

Spool::~Spool() {
  for (sqlite3_stmt* s : {insert_, oldest_, after_, remove_}) sqlite3_finalize(s);
  sqlite3_close(db_);
  if (lock_fd_ >= 0) ::close(lock_fd_);
}

// One collector per spool: two writing one file would delete each other's readings by id. The
// lock is the kernel's (it goes with the process, however it ends); the file holds the pid of
// whoever has it, for the message.
void Spool::LockFolder(const std::string& folder) {
  const std::string lock = folder + "/readings.lock";
  lock_fd_ = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (lock_fd_ < 0) throw Error("spool " + lock + ": " + std::strerror(errno));
  if (::flock(lock_fd_, LOCK_EX | LOCK_NB) != 0) {
    char pid[32] = {};
    const ssize_t n = ::pread(lock_fd_, pid, sizeof pid - 1, 0);
    std::string other = n > 0 ? std::string(pid, static_cast<std::size_t>(n)) : "";
    while (!other.empty() && (other.back() == '\n' || other.back() == ' ')) other.pop_back();
    ::close(lock_fd_);
    lock_fd_ = -1;
    throw Error("spool " + folder + " is in use by another collector" +
                (other.empty() ? std::string() : " (pid " + other + ")") +
                "; give each collector its own [mqtt] spool folder");
  }
  const std::string mine = std::to_string(::getpid()) + "\n";
  if (::ftruncate(lock_fd_, 0) != 0 || ::pwrite(lock_fd_, mine.data(), mine.size(), 0) < 0) {
    // The pid is for the message only; the lock holds without it.
  }
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

// The disk stopped taking writes: said once, until it takes them again.
void Spool::DiskRefused(const char* what) {
  if (disk_refuses_) return;
  disk_refuses_ = true;
  if (notes_) {
    notes_("spool " + path_ + ": the disk refuses writes (" + what + ": " + sqlite3_errmsg(db_) +
           "); readings wait in memory (at most " + std::to_string(kMemoryLimit) +
           ") and go to the broker from there until space returns");
  }
}

bool Spool::Insert(const Entry& e) {
  sqlite3_reset(insert_);
  sqlite3_bind_int64(insert_, 1, e.id);
  sqlite3_bind_text(insert_, 2, e.topic.data(), static_cast<int>(e.topic.size()), SQLITE_STATIC);
  sqlite3_bind_text(insert_, 3, e.payload.data(), static_cast<int>(e.payload.size()),
                    SQLITE_STATIC);
  const bool ok = sqlite3_step(insert_) == SQLITE_DONE;
  sqlite3_reset(insert_);
  if (!ok) {
    DiskRefused("keeping a reading");
    return false;
  }
  ++on_disk_;
  return true;
}

bool Spool::DeleteOnDisk(std::int64_t id) {
  sqlite3_reset(remove_);
  sqlite3_bind_int64(remove_, 1, id);
  const bool ok = sqlite3_step(remove_) == SQLITE_DONE;
  const bool gone = ok && sqlite3_changes(db_) > 0;
  sqlite3_reset(remove_);
  if (!ok) {
    DiskRefused("forgetting a published reading");
    return false;
  }
  if (gone) --on_disk_;
  return true;
}

// Readings that waited in memory go to disk in their order, as far as the disk takes them.
void Spool::MoveMemoryToDisk() {
  while (!memory_.empty() && Insert(memory_.front())) {
    memory_.pop_front();
    ++moved_;
  }
}

// A write went through after the disk had refused: said once, with the log cut back.
void Spool::DiskTakesWritesAgain() {
  disk_refuses_ = false;
  sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
  if (notes_) {
    notes_("spool " + path_ + ": the disk takes writes again; " + std::to_string(moved_) +
           " readings that waited in memory are on disk now");
  }
  moved_ = 0;
}

void Spool::RetryForgotten() {
  for (auto it = forgotten_.begin(); it != forgotten_.end();) {
    if (!DeleteOnDisk(*it)) return;
    it = forgotten_.erase(it);
  }
}

void Spool::DropOldest() {
  if (on_disk_ > static_cast<std::int64_t>(forgotten_.size())) {
    sqlite3_reset(oldest_);
    const bool ok = sqlite3_step(oldest_) == SQLITE_DONE;
    const bool gone = ok && sqlite3_changes(db_) > 0;
    sqlite3_reset(oldest_);
    if (gone) {
      --on_disk_;
      return;
    }
  }
  if (!memory_.empty()) memory_.pop_front();
}

Spool::Kept Spool::Push(const std::string& topic, const std::string& payload) {
  std::lock_guard lock(mutex_);
  Kept kept;
  RetryForgotten();
  MoveMemoryToDisk();
  const auto size = on_disk_ - static_cast<std::int64_t>(forgotten_.size()) +
                    static_cast<std::int64_t>(memory_.size());
  if (size >= limit_) {
    DropOldest();
    kept.dropped = 1;
  }
  Entry e{next_id_++, topic, payload};
  if (memory_.empty() && Insert(e)) {
    if (disk_refuses_) DiskTakesWritesAgain();
    return kept;
  }
  if (static_cast<std::int64_t>(memory_.size()) >= kMemoryLimit) {
    memory_.pop_front();
    kept.dropped = 1;
  }
  memory_.push_back(std::move(e));
  kept.where = Where::kMemory;
  return kept;
}

std::vector<Spool::Entry> Spool::After(std::int64_t after, int count) {
  std::lock_guard lock(mutex_);
  std::vector<Entry> out;
  sqlite3_reset(after_);
  sqlite3_bind_int64(after_, 1, after);
  sqlite3_bind_int(after_, 2, count + static_cast<int>(forgotten_.size()));
  while (static_cast<int>(out.size()) < count && sqlite3_step(after_) == SQLITE_ROW) {
    Entry e;
    e.id = sqlite3_column_int64(after_, 0);
    if (forgotten_.count(e.id)) continue;
    e.topic = reinterpret_cast<const char*>(sqlite3_column_text(after_, 1));
    e.payload = reinterpret_cast<const char*>(sqlite3_column_text(after_, 2));
    out.push_back(std::move(e));
  }
  sqlite3_reset(after_);
  for (const Entry& e : memory_) {
    if (static_cast<int>(out.size()) >= count) break;
    if (e.id > after) out.push_back(e);
  }
  return out;
}

void Spool::Remove(std::int64_t id) {
  std::lock_guard lock(mutex_);
  const auto in_memory =
      std::find_if(memory_.begin(), memory_.end(), [id](const Entry& e) { return e.id == id; });
  if (in_memory != memory_.end()) {
    memory_.erase(in_memory);
    return;
  }
  if (!DeleteOnDisk(id)) forgotten_.insert(id);
}

std::int64_t Spool::Size() {
  std::lock_guard lock(mutex_);
  return on_disk_ - static_cast<std::int64_t>(forgotten_.size()) +
         static_cast<std::int64_t>(memory_.size());
}

std::int64_t Spool::InMemory() {
  std::lock_guard lock(mutex_);
  return static_cast<std::int64_t>(memory_.size());
}

std::vector<CompactFormats::Format> Spool::Formats() {
  const std::lock_guard lock(mutex_);
  std::vector<CompactFormats::Format> formats;
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db_, "SELECT meter, signature, difvif FROM compact_formats", -1, &s,
                         nullptr) != SQLITE_OK) {
    if (notes_)
      notes_("spool " + path_ + ": compact frame formats not read: " + sqlite3_errmsg(db_));
    return formats;
  }
  while (sqlite3_step(s) == SQLITE_ROW) {
    CompactFormats::Format f;
    const auto* meter = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 0));
    if (meter == nullptr || sqlite3_column_bytes(s, 0) != static_cast<int>(f.meter.size())) {
      continue;  // not a row this collector wrote
    }
    std::copy_n(meter, f.meter.size(), f.meter.begin());
    f.signature = static_cast<std::uint16_t>(sqlite3_column_int(s, 1));
    const auto* difvif = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 2));
    f.difvif.assign(difvif, difvif + sqlite3_column_bytes(s, 2));
    formats.push_back(std::move(f));
  }
  sqlite3_finalize(s);
  return formats;
}

bool Spool::KeepFormat(const CompactFormats::Format& format) {
  const std::lock_guard lock(mutex_);
  sqlite3_stmt* s = nullptr;
  bool kept = sqlite3_prepare_v2(db_,
                                 "INSERT OR REPLACE INTO compact_formats (meter, signature, "
                                 "difvif) VALUES (?, ?, ?)",
                                 -1, &s, nullptr) == SQLITE_OK;
  if (kept) {
    sqlite3_bind_blob(s, 1, format.meter.data(), static_cast<int>(format.meter.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_int(s, 2, format.signature);
    sqlite3_bind_blob(s, 3, format.difvif.data(), static_cast<int>(format.difvif.size()),
                      SQLITE_TRANSIENT);
    kept = sqlite3_step(s) == SQLITE_DONE;
  }
  if (!kept && notes_) {
    notes_("spool " + path_ + ": compact frame format not kept: " + sqlite3_errmsg(db_));
  }
  sqlite3_finalize(s);
  return kept;
}

}  // namespace velmar::tools
