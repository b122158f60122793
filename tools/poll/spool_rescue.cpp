#include "spool_rescue.hpp"

#include <sqlite3.h>

#include <algorithm>
#include <ctime>
#include <filesystem>
#include <limits>

#include "velmar/error.hpp"

namespace velmar::tools {
namespace {

std::string LocalStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  ::localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &local);
  return text;
}

// A name beside `path` that no earlier rescue took.
std::string AsideName(const std::string& path) {
  const std::string base = path + ".damaged-" + LocalStamp();
  std::string name = base;
  for (int n = 2; std::filesystem::exists(name); ++n) name = base + "-" + std::to_string(n);
  return name;
}

std::string MoveAside(const std::string& path) {
  const std::string aside = AsideName(path);
  std::error_code ec;
  std::filesystem::rename(path, aside, ec);
  if (ec) throw Error("spool " + path + " is damaged and cannot be moved aside: " + ec.message());
  // The log belongs to the file it was written for; the shared-memory index is rebuilt.
  std::filesystem::rename(path + "-wal", aside + "-wal", ec);
  std::filesystem::remove(path + "-shm", ec);
  return aside;
}

// Walks the readings by id. Where a stretch of the file cannot be read, it looks further on,
// twice as far each time, until a reading can be read again or the ids the file ever gave out
// are passed; the ids skipped bound what was lost there.
class ReadingWalk {
 public:
  static constexpr std::int64_t kFurthest = std::numeric_limits<std::int64_t>::max() / 4;

  ReadingWalk(sqlite3* db, SpoolRescue& out) : db_(db), out_(out) {}
  ~ReadingWalk() { sqlite3_finalize(after_); }

  void Run() {
    if (sqlite3_prepare_v2(db_, "SELECT id, topic, payload FROM readings WHERE id > ? ORDER BY id",
                           -1, &after_, nullptr) != SQLITE_OK) {
      return;  // not even the table's description can be read: how many it held is unknown
    }
    const std::int64_t highest = HighestIdGiven();
    std::int64_t last = 0;
    while (true) {
      if (ReadFrom(last)) break;
      const std::int64_t readable = NextReadable(last, highest);
      skipped_ += std::max<std::int64_t>(0, std::min(readable, highest + 1) - last - 1);
      if (readable > highest) break;
      last = readable - 1;
    }
    Count();
  }

 private:
  // Reads on from `last`; true when the end was reached without a damaged stretch.
  bool ReadFrom(std::int64_t& last) {
    sqlite3_reset(after_);
    sqlite3_bind_int64(after_, 1, last);
    int rc;
    while ((rc = sqlite3_step(after_)) == SQLITE_ROW) {
      SpoolRow row;
      row.id = sqlite3_column_int64(after_, 0);
      // A damaged page can point back into the tree: the walk would then take the same
      // readings again, without end. What comes back out of order is a damaged stretch.
      if (row.id <= last) return false;
      // Topics and readings are text without NULs: a NUL inside is a page half overwritten
      // or half missing, and the reading is not taken.
      if (Text(1, row.topic) && Text(2, row.payload)) {
        out_.readings.push_back(std::move(row));
      } else {
        ++skipped_;  // its row is found, its bytes are not
      }
      last = sqlite3_column_int64(after_, 0);
    }
    return rc == SQLITE_DONE;
  }

  bool Text(int column, std::string& out) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(after_, column));
    if (text == nullptr) return false;
    out.assign(text, static_cast<std::size_t>(sqlite3_column_bytes(after_, column)));
    return out.find('\0') == std::string::npos;
  }

  // The id of the first reading past a damaged stretch after `last`, or past `highest` when
  // none can be read.
  std::int64_t NextReadable(std::int64_t last, std::int64_t highest) {
    for (std::int64_t step = 1; last < highest && step <= highest - last; step *= 2) {
      sqlite3_reset(after_);
      sqlite3_bind_int64(after_, 1, last + step);
      const int rc = sqlite3_step(after_);
      if (rc == SQLITE_ROW && sqlite3_column_int64(after_, 0) > last + step) {
        return sqlite3_column_int64(after_, 0);
      }
      if (rc == SQLITE_DONE) return highest + 1;
    }
    return highest + 1;
  }

  // The largest id the file ever gave out: kept apart from the readings by SQLite, so it often
  // survives their damage; otherwise the largest id that can be read. A damaged counter can say
  // anything up to the largest 64-bit number; held to a quarter of it (no spool gets near), the
  // walk's steps and sums stay within range.
  std::int64_t HighestIdGiven() {
    for (const char* sql : {"SELECT seq FROM sqlite_sequence WHERE name = 'readings'",
                            "SELECT MAX(id) FROM readings"}) {
      sqlite3_stmt* s = nullptr;
      std::int64_t highest = -1;
      if (sqlite3_prepare_v2(db_, sql, -1, &s, nullptr) == SQLITE_OK &&
          sqlite3_step(s) == SQLITE_ROW) {
        highest = sqlite3_column_int64(s, 0);
      }
      sqlite3_finalize(s);
      if (highest >= 0) return std::min(highest, kFurthest);
    }
    return kFurthest;
  }

  void Count() {
    sqlite3_stmt* s = nullptr;
    const auto read = static_cast<std::int64_t>(out_.readings.size());
    if (sqlite3_prepare_v2(db_, "SELECT COUNT(*) FROM readings", -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
      out_.lost = std::max<std::int64_t>(0, sqlite3_column_int64(s, 0) - read);
    } else {
      out_.lost = skipped_;
      out_.lostIsBound = skipped_ > 0;
    }
    sqlite3_finalize(s);
  }

  sqlite3* db_;
  SpoolRescue& out_;
  sqlite3_stmt* after_ = nullptr;
  std::int64_t skipped_ = 0;
};

}  // namespace

bool SpoolDamaged(int sqlite_result) {
  const int primary = sqlite_result & 0xFF;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

bool ReadCompactFormats(sqlite3* db, std::vector<CompactFormats::Format>& out) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT meter, signature, difvif FROM compact_formats", -1, &s,
                         nullptr) != SQLITE_OK) {
    return false;
  }
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    CompactFormats::Format f;
    const auto* meter = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 0));
    if (meter == nullptr || sqlite3_column_bytes(s, 0) != static_cast<int>(f.meter.size())) {
      continue;  // not a row this collector wrote
    }
    std::copy_n(meter, f.meter.size(), f.meter.begin());
    f.signature = static_cast<std::uint16_t>(sqlite3_column_int(s, 1));
    const auto* difvif = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 2));
    if (difvif != nullptr) f.difvif.assign(difvif, difvif + sqlite3_column_bytes(s, 2));
    out.push_back(std::move(f));
  }
  sqlite3_finalize(s);
  return rc == SQLITE_DONE;
}

SpoolRescue RescueSpool(const std::string& path, const char* vfs) {
  SpoolRescue rescue;
  rescue.movedTo = MoveAside(path);
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(rescue.movedTo.c_str(), &db, SQLITE_OPEN_READWRITE, vfs) == SQLITE_OK) {
    ReadWhatRemains(db, rescue);
  }
  sqlite3_close(db);
  return rescue;
}

void ReadWhatRemains(sqlite3* db, SpoolRescue& out) {
  // A file shorter than its header says is refused outright unless the schema is taken as it
  // stands; nothing is written through this connection.
  sqlite3_exec(db, "PRAGMA writable_schema=ON", nullptr, nullptr, nullptr);
  ReadingWalk(db, out).Run();
  ReadCompactFormats(db, out.formats);
}

std::string SpoolRescue::Text(const std::string& path, const std::string& why) const {
  std::string text = "spool " + path + " is damaged (" + why + "); moved to " + movedTo + ", " +
                     std::to_string(readings.size()) + " readings recovered from it, ";
  if (!lost) return text + "how many more it held cannot be told; collecting on a fresh file";
  return text + (lostIsBound ? "up to " : "") + std::to_string(*lost) +
         " could not be read; collecting on a fresh file";
}

}  // namespace velmar::tools
