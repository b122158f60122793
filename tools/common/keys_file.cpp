#include "keys_file.hpp"

#include <algorithm>

#include "file_access.hpp"
#include "toml_reader.hpp"
#include "velmar/error.hpp"
#include "velmar/hex.hpp"
#include "velmar/text.hpp"

namespace velmar::tools {

std::optional<MeterKey> ParseMeterKey(std::string_view text) {
  const auto bytes = ParseHex(std::string(text));
  if (!bytes || bytes->size() != 16) return std::nullopt;
  MeterKey key{};
  std::copy(bytes->begin(), bytes->end(), key.begin());
  return key;
}

bool IsWirelessIdent(std::string_view text) {
  return text.size() == 8 &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

MeterKeys ParseKeysFile(std::string_view text, const std::string& name) {
  const toml::table root = ParseToml(text, name);
  TableReader top(root, name, "");
  MeterKeys keys;
  const toml::node* meters = top.Take("meter");
  if (meters == nullptr) return keys;
  if (!meters->is_array_of_tables()) {
    top.Fail(*meters, "meter must be a list of tables: [[meter]] with id and key");
  }
  int i = 0;
  for (const toml::node& m : *meters->as_array()) {
    TableReader r(*m.as_table(), name, "meter[" + std::to_string(i++) + "]");
    std::string id, key;
    r.Text("id", id, true);
    r.Text("key", key, true);
    r.RejectUnknown();
    if (!IsWirelessIdent(id)) {
      r.Fail(r.Line(), r.where() + ".id \"" + Shown(id) +
                           "\" is not an identification number: eight "
                           "digits as the meter shows them");
    }
    const auto k = ParseMeterKey(key);
    if (!k) r.Fail(r.Line(), r.where() + ".key is not a key: give 32 hex digits (AES-128)");
    if (!keys.Add(id, *k)) r.Fail(r.Line(), "meter " + id + " is given a key twice");
  }
  top.RejectUnknown();
  return keys;
}

MeterKeys LoadKeysFile(const std::string& path, std::string& warning) {
  MeterKeys keys = ParseKeysFile(ReadConfigFile(path), path);
  warning = keys.Size() == 0 ? std::string() : SecretReadableWarning(path, "meter keys");
  return keys;
}

}  // namespace velmar::tools
