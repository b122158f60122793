#include "file_access.hpp"

#include <sys/stat.h>

#include <cstdio>

#include "velmar/text.hpp"

namespace velmar::tools {
namespace {

// `path`'s mode, and its permission bits as chmod writes them ("0644"); false when it cannot be
// read.
bool ModeOf(const std::string& path, mode_t& mode, std::string& text) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return false;
  mode = st.st_mode;
  char buf[8];
  std::snprintf(buf, sizeof buf, "%04o", static_cast<unsigned>(st.st_mode & 07777));
  text = buf;
  return true;
}

}  // namespace

std::string CheckNotWritableByOthers(const std::string& path) {
  mode_t mode = 0;
  std::string octal;
  if (!ModeOf(path, mode, octal) || (mode & S_IWOTH) == 0) return {};
  return ShownName(path) + " is writable by every user of this machine (mode " + octal +
         "), so anyone could change what it says: run chmod 600 " + ShownName(path) +
         " (or chmod o-w) and start again";
}

std::string SecretReadableWarning(const std::string& path, std::string_view secret) {
  mode_t mode = 0;
  std::string octal;
  if (!ModeOf(path, mode, octal) || (mode & S_IROTH) == 0) return {};
  return "warning: " + ShownName(path) + " holds " + std::string(secret) +
         " and every user of this machine can read it (mode " + octal + "): run chmod 600 " +
         ShownName(path);
}

}  // namespace velmar::tools
