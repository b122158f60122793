// An SQLite file layer for tests that passes everything to the real one until told the disk is
// full (or given a size): from then on every write (or every growth past the size) fails with
// SQLITE_FULL, as on a filesystem with no space left, until told otherwise.
#pragma once

namespace velmar::testing {

// Registers the layer (once) under this name and returns it.
const char* FaultyVfsName();
// Makes every later write fail (true) or pass (false).
void SetDiskFull(bool full);
// A disk of `bytes` (negative: unbounded): a write that would grow the files open through the
// layer beyond it fails with SQLITE_FULL.
void SetDiskSize(long long bytes);

}  // namespace velmar::testing
