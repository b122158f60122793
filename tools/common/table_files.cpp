#include "table_files.hpp"

#include "input_checks.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "velmar/error.hpp"

namespace velmar::tools {
namespace {

constexpr std::size_t kTableMax = 302;

[[noreturn]] void Fail(const std::string& path, const std::string& why) {
  throw Error("tariff table file " + path + ": " + why);
}

// Closes on every path.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

bool WriteAll(int fd, const std::vector<std::uint8_t>& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

void CheckTableTarget(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return;  // a new file
  if (S_ISDIR(st.st_mode)) Fail(path, "is a folder, not a file");
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) {
    Fail(path, "is a FIFO or socket, which may never take the table: give a regular file");
  }
}

std::vector<std::uint8_t> ReadTableFile(const std::string& path, bool allow_empty) {
  // A FIFO with no writer would hold the open for ever: only a regular file is a table.
  if (const std::string why = CheckRegularFile(path); !why.empty()) Fail(path, why);
  Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0) Fail(path, std::strerror(errno));
  struct stat st {};
  if (fstat(fd.get(), &st) == 0 && S_ISDIR(st.st_mode)) Fail(path, "is a folder, not a file");
  // One byte more than a table can hold tells a too-large file without reading all of it.
  std::vector<std::uint8_t> bytes(kTableMax + 1);
  std::size_t got = 0;
  while (got < bytes.size()) {
    const ssize_t n = ::read(fd.get(), bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail(path, std::strerror(errno));
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  if (got > kTableMax) Fail(path, "holds more than 302 bytes; a tariff table holds at most 302");
  if (got == 0 && !allow_empty) {
    Fail(path, "is empty; writing it would clear the meter's table (add --empty to do that)");
  }
  bytes.resize(got);
  return bytes;
}

void WriteTableFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  if (exists) CheckTableTarget(path);
  if (exists && !S_ISREG(st.st_mode)) {
    // A device cannot be replaced by a rename: write it directly.
    Fd fd(::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK));
    if (fd.get() < 0) Fail(path, std::strerror(errno));
    if (!WriteAll(fd.get(), bytes)) Fail(path, std::strerror(errno));
    if (!fd.Close()) Fail(path, std::strerror(errno));
    return;
  }
  std::string temporary = path + ".XXXXXX";
  Fd fd(::mkstemp(temporary.data()));
  if (fd.get() < 0) Fail(path, std::strerror(errno));
  // mkstemp makes the file private; the table gets the mode a new file or the old one had.
  const mode_t mask = ::umask(0);
  ::umask(mask);
  ::fchmod(fd.get(), exists ? (st.st_mode & 07777) : (0666 & ~mask));
  const bool written = WriteAll(fd.get(), bytes) && ::fsync(fd.get()) == 0;
  const int write_error = errno;
  const bool closed = fd.Close();
  if (!written || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const int err = !written ? write_error : errno;
    ::unlink(temporary.c_str());
    Fail(path, std::strerror(err));
  }
}

}  // namespace velmar::tools
