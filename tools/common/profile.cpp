#include "profile.hpp"

#include <set>

#include "plain_values.hpp"
#include "toml_reader.hpp"
#include "velmar/error.hpp"

namespace velmar::tools {
namespace {

// Names are JSON keys, topic parts and entity ids: small letters, digits and '_', a letter first.
bool GoodName(const std::string& name) {
  if (name.empty() || name.size() > 64 || name[0] < 'a' || name[0] > 'z') return false;
  for (char c : name) {
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '-')) return false;
  }
  return true;
}

void Name(TableReader& t, const std::string& key, std::string& out) {
  t.Text(key, out, true);
  if (!GoodName(out)) {
    t.Fail(*t.Take(key), t.where() + "." + key + " \"" + out +
                             "\" is not a name: small letters, digits, '_' and '-', a letter "
                             "first, at most 64");
  }
}

// A list of whole numbers in [0, 255] (version bytes, medium codes).
void Bytes(TableReader& t, const std::string& key, std::vector<int>& out) {
  const toml::node* n = t.Take(key);
  if (n == nullptr) return;
  const toml::array* a = n->as_array();
  if (a == nullptr) t.Fail(*n, t.where() + "." + key + " must be a list of numbers, e.g. [0x1B]");
  for (const toml::node& v : *a) {
    if (!v.is_integer() || v.as_integer()->get() < 0 || v.as_integer()->get() > 255) {
      t.Fail(v, t.where() + "." + key + " holds something other than a number from 0 to 255");
    }
    out.push_back(static_cast<int>(v.as_integer()->get()));
  }
}

std::string QuantitiesAccepted() {
  std::string list = "date";
  for (const ValueSort& s : ValueSorts()) {
    if (s.stem != "meter_time") list += ", " + std::string(s.stem);
  }
  return list;
}

void Quantity(TableReader& t, std::string& out) {
  t.Text("quantity", out, true);
  if (!KnownFieldQuantity(out)) {
    t.Fail(*t.Take("quantity"),
           "unknown quantity \"" + out + "\"; accepted: " + QuantitiesAccepted());
  }
}

RecordFunction Function(TableReader& t) {
  std::string text = "instantaneous";
  t.Text("function", text);
  for (auto f : {RecordFunction::kInstantaneous, RecordFunction::kMaximum, RecordFunction::kMinimum,
                 RecordFunction::kError}) {
    if (text == FunctionName(f)) return f;
  }
  t.Fail(*t.Take("function"),
         "unknown function \"" + text + "\"; accepted: instantaneous, maximum, minimum, error");
}

ProfileMatch ReadMatch(TableReader& t) {
  ProfileMatch m;
  t.Text("manufacturer", m.manufacturer, true);
  const auto code = ManufacturerCodeOf(m.manufacturer);
  if (!code) {
    t.Fail(*t.Take("manufacturer"), "match.manufacturer must be three capital letters (\"KAM\")");
  }
  m.manufacturerCode = code.value_or(0);
  Bytes(t, "versions", m.versions);
  Bytes(t, "media", m.media);
  if (const toml::node* n = t.Take("holding")) {
    const toml::array* a = n->as_array();
    if (a == nullptr) t.Fail(*n, "match.holding must be a list of quantities, e.g. [\"volume\"]");
    for (const toml::node& v : *a) {
      if (!v.is_string() || !KnownFieldQuantity(v.as_string()->get())) {
        t.Fail(v, "match.holding: unknown quantity; accepted: " + QuantitiesAccepted());
      }
      m.holding.push_back(v.as_string()->get());
      m.holdingMeasures.push_back(MeasuresOf(m.holding.back()));
    }
  }
  t.RejectUnknown();
  return m;
}

ProfileField ReadField(TableReader& t) {
  ProfileField f;
  Name(t, "name", f.name);
  f.line = static_cast<int>(t.Take("name")->source().begin.line);
  t.Text("label", f.label, true);
  Quantity(t, f.quantity);
  int storage = 0, tariff = 0, subunit = 0;
  t.Number("storage", storage, 0, 1 << 30);
  t.Number("tariff", tariff, 0, 1 << 20);
  t.Number("subunit", subunit, 0, 1023);
  f.storage = static_cast<std::uint64_t>(storage);
  f.tariff = static_cast<std::uint32_t>(tariff);
  f.subunit = static_cast<std::uint16_t>(subunit);
  f.function = Function(t);
  f.measures = MeasuresOf(f.quantity);
  t.RejectUnknown();
  return f;
}

FlagSource Source(TableReader& t) {
  std::string from;
  t.Text("from", from, true);
  if (from == "status") return FlagSource::kStatus;
  if (from == "record") return FlagSource::kRecord;
  if (from == "maker") return FlagSource::kMaker;
  t.Fail(*t.Take("from"), "unknown flag source \"" + from +
                              "\"; accepted: status (the header's status byte), record (a "
                              "record's data field, by vif and vife), maker (the maker's bytes)");
}

ProfileFlag ReadFlag(TableReader& t) {
  ProfileFlag f;
  Name(t, "name", f.name);
  f.line = static_cast<int>(t.Take("name")->source().begin.line);
  t.Text("meaning", f.meaning, true);
  t.Text("source", f.source, true);
  f.from = Source(t);
  t.Number("vif", f.vif, 0, 255);
  t.Number("vife", f.vife, 0, 255);
  if (f.from == FlagSource::kRecord && f.vif < 0) {
    t.Fail(t.Line(), "flag " + f.name + " is read from a record: it needs vif (and vife)");
  }
  if (f.from != FlagSource::kRecord && (f.vif >= 0 || f.vife >= 0)) {
    t.Fail(t.Line(), "flag " + f.name + ": vif and vife belong to flags read from a record");
  }
  t.Number("byte", f.byte, 0, 255);
  if (f.from == FlagSource::kStatus && f.byte != 0) {
    t.Fail(*t.Take("byte"), "flag " + f.name + ": the status is one byte; byte must be 0");
  }
  t.Number("mask", f.mask, 1, 255);
  if (f.mask == 0) t.Fail(t.Line(), "flag " + f.name + " needs mask (its bits, 1 to 0xFF)");
  t.Flag("alarm", f.alarm);
  t.RejectUnknown();
  return f;
}

// Each [[NAME]] table of the file, read by `read`.
template <typename Item, typename Read>
std::vector<Item> ReadList(TableReader& top, const std::string& file, const char* key, Read read) {
  std::vector<Item> out;
  const toml::node* n = top.Take(key);
  if (n == nullptr) return out;
  const toml::array* a = n->as_array();
  if (a == nullptr || !a->is_array_of_tables()) {
    top.Fail(*n, std::string(key) + " must be written as [[" + key + "]] tables");
  }
  for (const toml::node& item : *a) {
    TableReader t(*item.as_table(), file, key);
    out.push_back(read(t));
  }
  return out;
}

void RefuseRepeatedNames(const Profile& p, TableReader& top) {
  std::set<std::string> seen;
  const auto check = [&](const std::string& name, int line) {
    if (!seen.insert(name).second) {
      top.Fail(line, "the name \"" + name + "\" is used twice in the profile");
    }
  };
  for (const ProfileField& f : p.fields) check(f.name, f.line);
  for (const ProfileFlag& f : p.flags) check(f.name, f.line);
}

}  // namespace

int ProfileMatch::Specificity() const {
  return 1 + !versions.empty() + !media.empty() + static_cast<int>(holding.size());
}

bool KnownFieldQuantity(std::string_view quantity) {
  return quantity == "date" || (quantity != "meter_time" && FindSort(quantity) != nullptr);
}

Profile ParseProfile(std::string_view text, const std::string& file) {
  const toml::table root = ParseToml(text, file);
  TableReader top(root, file, "profile");
  Profile p;
  p.file = file;
  Name(top, "name", p.name);
  top.Text("title", p.title, true);
  top.Text("source", p.source, true);
  const toml::node* match = top.Take("match");
  if (match == nullptr || !match->is_table()) {
    top.Fail(top.Line(), "a profile needs a [match] table with the maker's three letters");
  }
  TableReader m(*match->as_table(), file, "match");
  p.match = ReadMatch(m);
  p.fields = ReadList<ProfileField>(top, file, "fields", ReadField);
  p.flags = ReadList<ProfileFlag>(top, file, "flags", ReadFlag);
  if (p.fields.empty() && p.flags.empty()) {
    top.Fail(top.Line(), "profile " + p.name + " names no [[fields]] and no [[flags]]");
  }
  top.RejectUnknown();
  RefuseRepeatedNames(p, top);
  return p;
}

}  // namespace velmar::tools
