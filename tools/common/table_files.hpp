// Tariff table files: read with a bound before anything is sent, written so that a failed write
// never leaves half a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmar::tools {

// At most 302 bytes of a regular file; throws Error with one plain line for a file that cannot
// be read, is not a regular file (a folder, a FIFO, a device), holds more than 302 bytes, or is
// empty without `allow_empty`. Never blocks on the open.
std::vector<std::uint8_t> ReadTableFile(const std::string& path, bool allow_empty);

// Throws Error when `path` can never take a table (a folder, a FIFO, a socket): checked before
// the table is read from the meter. A missing file, a regular file or a device is fine.
void CheckTableTarget(const std::string& path);

// Writes `bytes` to `path`: a new or regular file through a temporary file beside it and a
// rename, a device directly; refuses what CheckTableTarget refuses. Every write and the close are
// checked; throws Error naming the file and the reason, and no partial file is left behind.
void WriteTableFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace velmar::tools
