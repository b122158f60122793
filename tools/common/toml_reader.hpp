// Reading a TOML file a person wrote: every key checked off as it is taken, unknown keys and
// values of the wrong kind refused with the file, the line and what is accepted.
#pragma once

#include <set>
#include <string>
#include <string_view>

#define TOML_EXCEPTIONS 1
#include <toml++/toml.h>

namespace velmar::tools {

// The text of the configuration file at `path` (a regular file of at most 1 MiB that other users
// cannot write). Throws Error naming the path and the problem.
std::string ReadConfigFile(const std::string& path);

// Parses `text` (the file `name`). Throws ArgumentError "NAME:LINE: what the parser found" on
// one line.
toml::table ParseToml(std::string_view text, const std::string& name);

// Everything about one table being read: its keys are checked off as they are taken, and
// whatever is left at the end is unknown.
class TableReader {
 public:
  TableReader(const toml::table& table, const std::string& file, std::string where)
      : table_(table), file_(file), where_(std::move(where)) {}

  // Throw ArgumentError "FILE:LINE: why", at the node's line or the given one.
  [[noreturn]] void Fail(const toml::node& node, const std::string& why) const;
  [[noreturn]] void Fail(int line, const std::string& why) const;
  int Line() const { return static_cast<int>(table_.source().begin.line); }

  const toml::node* Take(const std::string& key) {
    taken_.insert(key);
    return table_.get(key);
  }

  // A text value (at most 4096 characters), a whole number in [low, high], true or false;
  // absent keys leave `out` alone (or fail when `required`), a value of another kind fails.
  void Text(const std::string& key, std::string& out, bool required = false);
  void Number(const std::string& key, int& out, long low, long high);
  void Flag(const std::string& key, bool& out);
  // Fails at the first key no Take asked for.
  void RejectUnknown() const;

  const std::string& where() const { return where_; }

 private:
  const toml::table& table_;
  const std::string& file_;
  std::string where_;
  std::set<std::string> taken_;
};

}  // namespace velmar::tools
