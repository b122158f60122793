#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

#include "velmar/error.hpp"
#include "velmar/posix_platform.hpp"

namespace velmar::posix {

void ConsoleMessageBox::Show(const std::string& text, const std::optional<std::string>& title) {
  std::cerr << title.value_or(default_title_) << ": " << text << std::endl;
}

FilePropertySet::FilePropertySet(std::string path) : path_(std::move(path)) {}

bool FilePropertySet::Exists() const {
  return std::ifstream(path_).good();
}

std::map<std::string, std::string> FilePropertySet::Load() const {
  std::map<std::string, std::string> values;
  std::ifstream in(path_);
  for (std::string line; std::getline(in, line);) {
    const auto eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

Variant FilePropertySet::Read(const std::string& name, const Variant& default_value) {
  const auto values = Load();
  auto it = values.find(name);
  return it == values.end() ? default_value : Variant(it->second);
}

// The new file is written beside the old one and renamed over it, so a full disk or a crash
// leaves the previous settings whole.
void FilePropertySet::Write(const std::string& name, const Variant& value, const Variant&) {
  auto values = Load();
  values[name] = value.ToText();
  const std::filesystem::path path(path_);
  std::error_code ec;
  if (path.has_parent_path()) std::filesystem::create_directories(path.parent_path(), ec);
  const std::string temporary = path_ + ".new";
  {
    std::ofstream out(temporary, std::ios::trunc);
    for (const auto& [key, text] : values) out << key << '=' << text << '\n';
    out.close();
    if (!out) {
      std::filesystem::remove(temporary, ec);
      throw Error("cannot write settings file " + path_);
    }
  }
  std::filesystem::rename(temporary, path, ec);
  if (ec) {
    std::filesystem::remove(temporary, ec);
    throw Error("cannot write settings file " + path_ + ": " + ec.message());
  }
}

}  // namespace velmar::posix
