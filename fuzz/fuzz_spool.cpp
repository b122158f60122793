// libFuzzer target over the recovery of a damaged spool: each input is the bytes of a spool
// file, opened in memory as the collector would open the file on disk after SQLite called it
// damaged. Whatever the bytes, the recovery ends, takes each reading once and oldest first,
// never takes a topic or a reading with a NUL in it, and never counts fewer than none lost.
//
// The spool runs with a write-ahead log; a file in memory cannot have one, so the header's
// journal-format bytes are set to the plain format (what the file holds is read the same way).
#include <sqlite3.h>

#include <cstdint>
#include <cstring>

#include "spool_rescue.hpp"

namespace {

constexpr std::size_t kWriteVersion = 18, kReadVersion = 19, kLegacyFormat = 1;

void Check(const velmar::tools::SpoolRescue& r) {
  std::int64_t last = 0;
  for (const velmar::tools::SpoolRow& row : r.readings) {
    if (row.id <= last) __builtin_trap();
    last = row.id;
    if (row.topic.find('\0') != std::string::npos) __builtin_trap();
    if (row.payload.find('\0') != std::string::npos) __builtin_trap();
  }
  if (r.lost && *r.lost < 0) __builtin_trap();
  if (r.lostIsBound && !r.lost) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sqlite3* db = nullptr;
  if (sqlite3_open_v2(":memory:", &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) return 0;
  auto* file = static_cast<unsigned char*>(sqlite3_malloc64(size == 0 ? 1 : size));
  if (size > 0) std::memcpy(file, data, size);
  if (size > kReadVersion) file[kWriteVersion] = file[kReadVersion] = kLegacyFormat;
  // SQLite owns the copy from here, whatever the call's result.
  sqlite3_deserialize(db, "main", file, static_cast<sqlite3_int64>(size),
                      static_cast<sqlite3_int64>(size), SQLITE_DESERIALIZE_FREEONCLOSE);
  velmar::tools::SpoolRescue rescue;
  velmar::tools::ReadWhatRemains(db, rescue);
  Check(rescue);
  sqlite3_close(db);
  return 0;
}
