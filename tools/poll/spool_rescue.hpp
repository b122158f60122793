// What can be saved from a spool file SQLite no longer reads as a database: a file cut short by
// a crash of the filesystem, or with foreign bytes over its header or in its middle. The file
// (and its write-ahead log) is moved aside under a name that says when, so nothing is thrown
// away, and every reading whose page SQLite can still read is taken out of it for the fresh file.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "velmar/wmbus.hpp"

struct sqlite3;

namespace velmar::tools {

// One reading waiting for the broker, as the spool keeps it.
struct SpoolRow {
  std::int64_t id = 0;  // grows with every reading kept: the publishing order
  std::string topic;
  std::string payload;
};

struct SpoolRescue {
  std::string movedTo;             // where the damaged file is now
  std::vector<SpoolRow> readings;  // every one SQLite could still read, oldest first
  std::vector<CompactFormats::Format> formats;
  // Readings the file held that could not be read: exact when the file still says how many it
  // held, otherwise an upper bound from the gaps in the ids read, or nothing when not even that
  // can be told (the file's header is gone).
  std::optional<std::int64_t> lost;
  bool lostIsBound = false;

  // The log line: what SQLite said of `path`, where the file went, how many readings were
  // recovered and how many could not be.
  std::string Text(const std::string& path, const std::string& why) const;
};

// True for SQLite's result codes that mean the file is not (or no longer) a database.
bool SpoolDamaged(int sqlite_result);

// Appends the compact frame formats kept in `db` to `out`, skipping rows of another shape;
// false when the table cannot be read (then `out` holds those read before the failure).
bool ReadCompactFormats(sqlite3* db, std::vector<CompactFormats::Format>& out);

// Moves `path` (and its write-ahead log) to `path`.damaged-<local time> and reads what it can
// from it. Throws Error when the file cannot be moved (then it stays where it was). Worst case
// about a millisecond per thousand readings, plus a few dozen lookups per damaged stretch.
SpoolRescue RescueSpool(const std::string& path, const char* vfs);

// Reads every reading and compact frame format that can still be read from a damaged spool
// open on `db` into `out` (all but `movedTo`), oldest first, each reading once, and counts what
// is lost. Writes nothing to the file. Same worst case as RescueSpool.
void ReadWhatRemains(sqlite3* db, SpoolRescue& out);

}  // namespace velmar::tools
