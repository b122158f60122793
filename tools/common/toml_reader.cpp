#include "toml_reader.hpp"

#include <fstream>

#include "file_access.hpp"
#include "input_checks.hpp"
#include "velmar/error.hpp"

namespace velmar::tools {

std::string ReadConfigFile(const std::string& path) {
  if (const std::string why = CheckRegularFile(path); !why.empty()) throw Error(why);
  if (const std::string why = CheckNotWritableByOthers(path); !why.empty()) throw Error(why);
  std::ifstream in(path, std::ios::binary);
  if (!in) throw Error(path + ": cannot read the configuration file");
  std::string text(1 << 20, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(in.gcount()));
  if (in.gcount() == (1 << 20) && in.peek() != EOF) {
    throw Error(path + ": larger than 1 MiB; a configuration is a few kilobytes");
  }
  if (in.bad()) throw Error(path + ": cannot read the configuration file");
  return text;
}

toml::table ParseToml(std::string_view text, const std::string& name) {
  try {
    return toml::parse(text, name);
  } catch (const toml::parse_error& e) {
    throw ArgumentError(name + ":" + std::to_string(e.source().begin.line) + ": " +
                        ShortenLongWords(OneLine(e.description())));
  }
}

void TableReader::Fail(const toml::node& node, const std::string& why) const {
  Fail(static_cast<int>(node.source().begin.line), why);
}

void TableReader::Fail(int line, const std::string& why) const {
  throw ArgumentError(file_ + ":" + std::to_string(line) + ": " + why);
}

void TableReader::Text(const std::string& key, std::string& out, bool required) {
  const toml::node* n = Take(key);
  if (n == nullptr) {
    if (required) Fail(Line(), where_ + " needs " + key);
    return;
  }
  if (!n->is_string()) Fail(*n, where_ + "." + key + " must be a text in double quotes");
  out = n->as_string()->get();
  if (out.size() > 4096) Fail(*n, where_ + "." + key + " is longer than 4096 characters");
}

void TableReader::Number(const std::string& key, int& out, long low, long high) {
  const toml::node* n = Take(key);
  if (n == nullptr) return;
  if (!n->is_integer()) Fail(*n, where_ + "." + key + " must be a whole number");
  const auto v = n->as_integer()->get();
  if (v < low || v > high) {
    Fail(*n, where_ + "." + key + " is " + std::to_string(v) +
                 "; accepted: " + std::to_string(low) + " to " + std::to_string(high));
  }
  out = static_cast<int>(v);
}

void TableReader::Flag(const std::string& key, bool& out) {
  const toml::node* n = Take(key);
  if (n == nullptr) return;
  if (!n->is_boolean()) Fail(*n, where_ + "." + key + " must be true or false");
  out = n->as_boolean()->get();
}

void TableReader::RejectUnknown() const {
  for (auto&& [key, value] : table_) {
    if (taken_.count(std::string(key.str())) == 0) {
      Fail(static_cast<int>(key.source().begin.line),
           "unknown key " + where_ + "." + Shown(key.str()));
    }
  }
}

}  // namespace velmar::tools
