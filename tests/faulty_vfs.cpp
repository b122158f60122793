#include "faulty_vfs.hpp"

#include <sqlite3.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <set>

namespace velmar::testing {
namespace {

std::atomic<bool> g_full{false};
std::atomic<long long> g_disk{-1};
sqlite3_vfs* g_real = nullptr;

// Each open file: the real layer's file right behind our own header.
struct File {
  sqlite3_file base;
  sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

File* Of(sqlite3_file* f) {
  return reinterpret_cast<File*>(f);
}

std::mutex g_open_mutex;
std::set<File*> g_open;

sqlite3_int64 SizeOf(File* file) {
  sqlite3_int64 size = 0;
  file->real()->pMethods->xFileSize(file->real(), &size);
  return size;
}

// Whether growing `file` to `end` bytes fits the disk, the other open files counted.
bool Fits(File* file, sqlite3_int64 end) {
  if (g_disk < 0) return true;
  std::lock_guard lock(g_open_mutex);
  sqlite3_int64 used = 0;
  for (File* f : g_open) used += SizeOf(f);
  const sqlite3_int64 growth = end - SizeOf(file);
  return growth <= 0 || used + growth <= g_disk;
}

int Close(sqlite3_file* f) {
  {
    std::lock_guard lock(g_open_mutex);
    g_open.erase(Of(f));
  }
  return Of(f)->real()->pMethods->xClose(Of(f)->real());
}
int Read(sqlite3_file* f, void* buf, int n, sqlite3_int64 at) {
  return Of(f)->real()->pMethods->xRead(Of(f)->real(), buf, n, at);
}
int Write(sqlite3_file* f, const void* buf, int n, sqlite3_int64 at) {
  if (g_full || !Fits(Of(f), at + n)) return SQLITE_FULL;
  return Of(f)->real()->pMethods->xWrite(Of(f)->real(), buf, n, at);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
  return Of(f)->real()->pMethods->xTruncate(Of(f)->real(), size);
}
int Sync(sqlite3_file* f, int flags) {
  return Of(f)->real()->pMethods->xSync(Of(f)->real(), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
  return Of(f)->real()->pMethods->xFileSize(Of(f)->real(), size);
}
int Lock(sqlite3_file* f, int level) {
  return Of(f)->real()->pMethods->xLock(Of(f)->real(), level);
}
int Unlock(sqlite3_file* f, int level) {
  return Of(f)->real()->pMethods->xUnlock(Of(f)->real(), level);
}
int CheckReservedLock(sqlite3_file* f, int* out) {
  return Of(f)->real()->pMethods->xCheckReservedLock(Of(f)->real(), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
  return Of(f)->real()->pMethods->xFileControl(Of(f)->real(), op, arg);
}
int SectorSize(sqlite3_file* f) {
  return Of(f)->real()->pMethods->xSectorSize(Of(f)->real());
}
int DeviceCharacteristics(sqlite3_file* f) {
  return Of(f)->real()->pMethods->xDeviceCharacteristics(Of(f)->real());
}
int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
  return Of(f)->real()->pMethods->xShmMap(Of(f)->real(), page, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
  return Of(f)->real()->pMethods->xShmLock(Of(f)->real(), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) {
  Of(f)->real()->pMethods->xShmBarrier(Of(f)->real());
}
int ShmUnmap(sqlite3_file* f, int del) {
  return Of(f)->real()->pMethods->xShmUnmap(Of(f)->real(), del);
}

const sqlite3_io_methods kMethods = {2,
                                     Close,
                                     Read,
                                     Write,
                                     Truncate,
                                     Sync,
                                     FileSize,
                                     Lock,
                                     Unlock,
                                     CheckReservedLock,
                                     FileControl,
                                     SectorSize,
                                     DeviceCharacteristics,
                                     ShmMap,
                                     ShmLock,
                                     ShmBarrier,
                                     ShmUnmap,
                                     nullptr,
                                     nullptr};

int Open(sqlite3_vfs*, const char* name, sqlite3_file* f, int flags, int* out_flags) {
  File* file = Of(f);
  std::memset(file, 0, sizeof(File));
  const int rc = g_real->xOpen(g_real, name, file->real(), flags, out_flags);
  file->base.pMethods = file->real()->pMethods != nullptr ? &kMethods : nullptr;
  if (file->base.pMethods != nullptr) {
    std::lock_guard lock(g_open_mutex);
    g_open.insert(file);
  }
  return rc;
}

sqlite3_vfs g_vfs;

}  // namespace

const char* FaultyVfsName() {
  static const bool registered = [] {
    g_real = sqlite3_vfs_find(nullptr);
    g_vfs = *g_real;
    g_vfs.zName = "velmar-faulty";
    g_vfs.szOsFile = static_cast<int>(sizeof(File)) + g_real->szOsFile;
    g_vfs.xOpen = Open;
    sqlite3_vfs_register(&g_vfs, 0);
    return true;
  }();
  static_cast<void>(registered);
  return "velmar-faulty";
}

void SetDiskFull(bool full) {
  g_full = full;
}

void SetDiskSize(long long bytes) {
  g_disk = bytes;
}

}  // namespace velmar::testing
