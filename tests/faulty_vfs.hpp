// An SQLite file layer for tests that passes everything to the real one until told the disk is
// full: from then on every write and every growth of a file fails with SQLITE_FULL, as on a
// filesystem with no space left, until told otherwise.
#pragma once

namespace velmar::testing {

// Registers the layer (once) under this name and returns it.
const char* FaultyVfsName();
// Makes every later write fail (true) or pass (false).
void SetDiskFull(bool full);

}  // namespace velmar::testing
