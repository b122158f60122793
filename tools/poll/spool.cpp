#include "spool.hpp"

#include <sqlite3.h>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "spool_rescue.hpp"
#include "velmar/error.hpp"

namespace velmar::tools {
namespace {

// The write-ahead log is folded back into the database every 32 pages (128 KiB) and its file cut
// to nothing: a full disk cannot be undone by folding the log in (that needs the space the log
// holds), so the log never holds more than a small margin of it, and a spool runs on any disk
// that holds its database and that margin.
constexpr const char* kWalBound = "PRAGMA wal_autocheckpoint=32; PRAGMA journal_size_limit=0";

}  // namespace

Spool::Spool(const std::string& folder, std::int64_t limit, Notes notes, const char* vfs)
    : path_(folder + "/readings.sqlite3"), limit_(limit), notes_(std::move(notes)), vfs_(vfs) {
  std::error_code ec;
  // The readings may say more than their owner wants known: the folder and the file are the
  // collector's user's alone when it makes them.
  if (std::filesystem::create_directories(folder, ec) && !ec) {
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::replace, ec);
  }
  if (ec) throw Error("spool folder " + folder + ": " + ec.message());
  LockFolder(folder);
  // A damaged file is moved aside at start rather than refused: a collector that will not
  // start is restarted, and refused again, for ever.
  if (const int rc = Open(); rc != SQLITE_OK) {
    if (!SpoolDamaged(rc)) Fail("cannot open");
    Rescue();
  }
}

Spool::~Spool() {
  Close();
  if (lock_fd_ >= 0) ::close(lock_fd_);
}

int Spool::Open() {
  if (const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600); fd >= 0) {
    ::close(fd);
  }
  int rc = sqlite3_open_v2(path_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, vfs_);
  if (rc != SQLITE_OK) return rc;
  sqlite3_busy_timeout(db_, 2000);
  // A write-ahead log survives the collector being killed; NORMAL sync keeps a reading's write
  // in the tens of microseconds (only a power cut can take the last few).
  for (const char* sql : {"PRAGMA journal_mode=WAL", "PRAGMA synchronous=NORMAL", kWalBound,
                          "CREATE TABLE IF NOT EXISTS readings (id INTEGER PRIMARY KEY "
                          "AUTOINCREMENT, topic TEXT NOT NULL, payload TEXT NOT NULL)",
                          "CREATE TABLE IF NOT EXISTS compact_formats (meter BLOB NOT NULL, "
                          "signature INTEGER NOT NULL, difvif BLOB NOT NULL, PRIMARY KEY "
                          "(meter, signature))"}) {
    if ((rc = sqlite3_exec(db_, sql, nullptr, nullptr, nullptr)) != SQLITE_OK) return rc;
  }
  // Every page read once: damage anywhere in the file shows now, not as a reading that fails
  // to be published days later.
  if ((rc = QuickCheck()) != SQLITE_OK) return rc;
  insert_ = Prepare("INSERT INTO readings (id, topic, payload) VALUES (?, ?, ?)");
  oldest_ = Prepare("DELETE FROM readings WHERE id = (SELECT MIN(id) FROM readings)");
  after_ = Prepare("SELECT id, topic, payload FROM readings WHERE id > ? ORDER BY id LIMIT ?");
  remove_ = Prepare("DELETE FROM readings WHERE id = ?");
  return CountOnDisk();
}

int Spool::QuickCheck() {
  sqlite3_stmt* s = nullptr;
  int rc = sqlite3_prepare_v2(db_, "PRAGMA quick_check(1)", -1, &s, nullptr);
  if (rc != SQLITE_OK) return rc;
  rc = sqlite3_step(s);
  if (rc == SQLITE_ROW) {
    const auto* verdict = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    rc = verdict != nullptr && std::string(verdict) == "ok" ? SQLITE_OK : SQLITE_CORRUPT;
    if (rc != SQLITE_OK) damage_ = verdict != nullptr ? verdict : "unreadable";
  }
  sqlite3_finalize(s);
  return rc;
}

int Spool::CountOnDisk() {
  sqlite3_stmt* count = Prepare("SELECT COUNT(*), COALESCE(MAX(id), 0) FROM readings");
  const int rc = sqlite3_step(count);
  if (rc == SQLITE_ROW) {
    on_disk_ = sqlite3_column_int64(count, 0);
    next_id_ = std::max<std::int64_t>(next_id_, sqlite3_column_int64(count, 1) + 1);
  }
  sqlite3_finalize(count);
  if (rc == SQLITE_ROW) return SQLITE_OK;
  if (!SpoolDamaged(rc)) Fail("counting the readings waiting");
  return rc;
}

void Spool::Close() {
  for (sqlite3_stmt** s : {&insert_, &oldest_, &after_, &remove_}) {
    sqlite3_finalize(*s);
    *s = nullptr;
  }
  sqlite3_close(db_);
  db_ = nullptr;
}

// The file is damaged: it goes aside with what it still holds read out of it, and the readings
// recovered go on a fresh file under their own ids (the publisher's place in them holds), ahead
// of those waiting in memory.
void Spool::Rescue() {
  const std::string why = damage_.empty() && db_ != nullptr ? sqlite3_errmsg(db_) : damage_;
  rescuing_ = true;
  Close();
  SpoolRescue rescue = RescueSpool(path_, vfs_);
  damage_.clear();
  on_disk_ = 0;
  if (Open() != SQLITE_OK) Fail("cannot make a fresh file");
  // Those the disk will not take now wait in memory, ahead of any already there.
  std::deque<Entry> waiting;
  for (const SpoolRow& row : rescue.readings) {
    next_id_ = std::max(next_id_, row.id + 1);
    if (forgotten_.count(row.id) == 0 && (!waiting.empty() || !Insert(row))) {
      waiting.push_back(row);
    }
  }
  memory_.insert(memory_.begin(), waiting.begin(), waiting.end());
  forgotten_.clear();
  for (const auto& format : rescue.formats) StoreFormat(format);
  rescuing_ = false;
  if (notes_) notes_(rescue.Text(path_, why));
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

int Spool::StepInsert(const Entry& e) {
  sqlite3_reset(insert_);
  sqlite3_bind_int64(insert_, 1, e.id);
  sqlite3_bind_text(insert_, 2, e.topic.data(), static_cast<int>(e.topic.size()), SQLITE_STATIC);
  sqlite3_bind_text(insert_, 3, e.payload.data(), static_cast<int>(e.payload.size()),
                    SQLITE_STATIC);
  const int rc = sqlite3_step(insert_);
  sqlite3_reset(insert_);
  return rc;
}

bool Spool::Insert(const Entry& e) {
  int rc = StepInsert(e);
  if ((rc & 0xFF) == SQLITE_FULL) {
    // On a small disk the write-ahead log can hold the very space the database needs: folded
    // back and cut to nothing, it gives that space back.
    sqlite3_exec(db_, "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    rc = StepInsert(e);
  }
  if (SpoolDamaged(rc) && !rescuing_) {
    Rescue();
    rc = StepInsert(e);
  }
  if (rc != SQLITE_DONE) {
    DiskRefused("keeping a reading");
    return false;
  }
  ++on_disk_;
  return true;
}

int Spool::StepRemove(std::int64_t id, bool& gone) {
  sqlite3_reset(remove_);
  sqlite3_bind_int64(remove_, 1, id);
  const int rc = sqlite3_step(remove_);
  gone = rc == SQLITE_DONE && sqlite3_changes(db_) > 0;
  sqlite3_reset(remove_);
  return rc;
}

bool Spool::DeleteOnDisk(std::int64_t id) {
  bool gone = false;
  int rc = StepRemove(id, gone);
  if (SpoolDamaged(rc) && !rescuing_) {
    Rescue();
    rc = StepRemove(id, gone);
  }
  if (rc != SQLITE_DONE) {
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
    const int rc = sqlite3_step(oldest_);
    const bool gone = rc == SQLITE_DONE && sqlite3_changes(db_) > 0;
    sqlite3_reset(oldest_);
    if (SpoolDamaged(rc) && !rescuing_) {
      Rescue();
      DropOldest();
      return;
    }
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

int Spool::ReadAfter(std::int64_t after, int count, std::vector<Entry>& out) {
  out.clear();
  sqlite3_reset(after_);
  sqlite3_bind_int64(after_, 1, after);
  sqlite3_bind_int(after_, 2, count + static_cast<int>(forgotten_.size()));
  int rc = SQLITE_DONE;
  while (static_cast<int>(out.size()) < count && (rc = sqlite3_step(after_)) == SQLITE_ROW) {
    Entry e;
    e.id = sqlite3_column_int64(after_, 0);
    if (forgotten_.count(e.id)) continue;
    e.topic = reinterpret_cast<const char*>(sqlite3_column_text(after_, 1));
    e.payload = reinterpret_cast<const char*>(sqlite3_column_text(after_, 2));
    out.push_back(std::move(e));
  }
  sqlite3_reset(after_);
  return rc == SQLITE_ROW ? SQLITE_DONE : rc;
}

std::vector<Spool::Entry> Spool::After(std::int64_t after, int count) {
  std::lock_guard lock(mutex_);
  std::vector<Entry> out;
  int rc = ReadAfter(after, count, out);
  if (SpoolDamaged(rc)) {
    Rescue();
    rc = ReadAfter(after, count, out);
  }
  if (rc != SQLITE_DONE && !read_refused_ && notes_) {
    // Said once until a read succeeds: the readings on disk stay there and are offered again.
    notes_("spool " + path_ + ": the waiting readings cannot be read from disk (" +
           sqlite3_errmsg(db_) + "); they are offered again when they can");
  }
  read_refused_ = rc != SQLITE_DONE;
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

std::string Spool::Whereabouts() {
  const std::int64_t waiting = Size();
  std::lock_guard lock(mutex_);
  if (!disk_refuses_) return "in " + path_ + " (" + std::to_string(waiting) + " waiting)";
  return "in memory until the disk holding " + path_ + " has room again (" +
         std::to_string(waiting) + " waiting, " + std::to_string(memory_.size()) +
         " of them in memory)";
}

std::int64_t Spool::InMemory() {
  std::lock_guard lock(mutex_);
  return static_cast<std::int64_t>(memory_.size());
}

std::vector<CompactFormats::Format> Spool::Formats() {
  const std::lock_guard lock(mutex_);
  std::vector<CompactFormats::Format> formats;
  if (!ReadCompactFormats(db_, formats) && notes_) {
    notes_("spool " + path_ + ": compact frame formats not read: " + sqlite3_errmsg(db_));
  }
  return formats;
}

bool Spool::KeepFormat(const CompactFormats::Format& format) {
  const std::lock_guard lock(mutex_);
  const bool kept = StoreFormat(format);
  if (!kept && notes_) {
    notes_("spool " + path_ + ": compact frame format not kept: " + sqlite3_errmsg(db_));
  }
  return kept;
}

bool Spool::StoreFormat(const CompactFormats::Format& format) {
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
  sqlite3_finalize(s);
  return kept;
}

}  // namespace velmar::tools
