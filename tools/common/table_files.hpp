// Tariff table files: read with a bound before anything is sent, written so that a failed write
// never leaves half a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velmar::tools {

// At most 302 bytes of a regular file (or a device or pipe); throws Error with one plain line
// for a file that cannot be read, is a folder, holds more than 302 bytes, or is empty without
// `allow_empty`.
std::vector<std::uint8_t> ReadTableFile(const std::string& path, bool allow_empty);

// Writes `bytes` to `path`: a new or regular file through a temporary file beside it and a
// rename, anything else (a device, a pipe) directly. Every write and the close are checked;
// throws Error naming the file and the reason, and no partial file is left behind.
void WriteTableFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace velmar::tools
