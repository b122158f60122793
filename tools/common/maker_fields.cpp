#include "maker_fields.hpp"

#include <cstdio>

namespace velmar::tools {
namespace {

using Json = nlohmann::ordered_json;
using Rows = std::vector<std::pair<std::string, std::string>>;
using K = MakerFieldKind;
using Tariffs = std::vector<std::optional<double>>;

std::string Fixed2(double v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

std::string WithUnit(const std::string& text, const char* unit) {
  return text + " " + unit;
}

// A tariff register the meter flags as not valid reads "-", here and wherever it is shown.
std::string TariffText(const std::optional<double>& t) {
  return t ? Fixed2(*t) : "-";
}

// The tariffs the table and the window show: 1-4 (the meter keeps 0 and 5 unused).
constexpr std::size_t kFirstTariff = 1, kLastTariff = 4;

// The status byte's texts, one per line from the meter, on one line for a cell.
std::string OneLine(const std::string& text) {
  std::string out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    const std::string line = text.substr(at, end - at);
    if (!line.empty()) out += (out.empty() ? "" : ", ") + line;
    at = end == std::string::npos ? text.size() : end + 2;
  }
  return out.empty() ? "no errors" : out;
}

// The bits set in the error flags (their meaning is the maker's), then all 64 in hex.
std::string FlagBitsText(std::uint64_t flags) {
  std::string bits;
  for (int b = 0; b < 64; ++b) {
    if ((flags >> b) & 1U) bits += (bits.empty() ? "bit " : ", bit ") + std::to_string(b);
  }
  char hex[24];
  std::snprintf(hex, sizeof hex, "0x%016llX", static_cast<unsigned long long>(flags));
  return (bits.empty() ? "none" : bits) + "  (" + hex + ")";
}

std::string RelayText(int state) {
  return state == 1 ? "on" : state == 0 ? "off" : "-";
}

}  // namespace

Json FieldJson(const MakerField& field, const MakerValues& values) {
  const MakerFieldValue v = values.Get(field);
  switch (field.kind) {
    case K::kIdent: {
      const std::int64_t n = std::get<std::int64_t>(v);
      return n <= 0 ? Json("") : Json(n);
    }
    case K::kFlags:
      return static_cast<std::int32_t>(static_cast<std::uint32_t>(std::get<std::int64_t>(v)));
    case K::kTariffs: {
      Json a = Json::array();
      for (const auto& t : std::get<Tariffs>(v)) a.push_back(t ? Json(*t) : Json("-"));
      return a;
    }
    case K::kRelays:
      return std::get<std::vector<int>>(v);
    case K::kEnergy:
      return std::get<double>(v);
    case K::kText:
    case K::kStatusText:
    case K::kDate:
    case K::kTime:
      return std::get<std::string>(v);
    case K::kCount:
    case K::kStatus:
    case K::kFlagsHigh:
      return std::get<std::int64_t>(v);
  }
  return nullptr;
}

Json FieldsJson(const MakerValues& values) {
  Json j;
  for (const MakerField& f : MakerFields()) j[f.name] = FieldJson(f, values);
  return j;
}

Rows FieldRows(const MakerField& field, const MakerValues& values) {
  const MakerFieldValue v = values.Get(field);
  switch (field.kind) {
    case K::kIdent: {
      const std::int64_t n = std::get<std::int64_t>(v);
      return {{"", n <= 0 ? "" : std::to_string(n)}};
    }
    case K::kText:
      return {{"", std::get<std::string>(v)}};
    case K::kCount:
      return {{"", std::to_string(std::get<std::int64_t>(v))}};
    case K::kStatus:
      return {{"", std::to_string(std::get<std::int64_t>(v)) + " (" + StatusLine(values) + ")"}};
    case K::kEnergy:
      return {{"", WithUnit(Fixed2(std::get<double>(v)), field.unit)}};
    case K::kTariffs: {
      Rows rows;
      const Tariffs& t = std::get<Tariffs>(v);
      for (std::size_t i = kFirstTariff; i <= kLastTariff; ++i) {
        rows.emplace_back("  tariff " + std::to_string(i),
                          t[i] ? WithUnit(TariffText(t[i]), field.unit) : TariffText(t[i]));
      }
      return rows;
    }
    case K::kFlags: {
      const auto all = static_cast<std::uint64_t>(std::get<std::int64_t>(v));
      char buf[32];
      std::snprintf(buf, sizeof buf, "0x%08X 0x%08X", static_cast<unsigned>(all >> 32),
                    static_cast<unsigned>(all & 0xFFFFFFFFu));
      return {{"", buf}};
    }
    case K::kDate:
    case K::kTime: {
      const std::string& text = std::get<std::string>(v);
      return {{"", text.empty() ? "-" : text}};
    }
    case K::kRelays: {
      std::string text;
      const auto& relays = std::get<std::vector<int>>(v);
      for (std::size_t r = 0; r < relays.size(); ++r) {
        text += std::to_string(r) + ":" + RelayText(relays[r]) + " ";
      }
      return {{"", text}};
    }
    case K::kStatusText:
    case K::kFlagsHigh:
      return {};
  }
  return {};
}

std::vector<ValueCell> PanelCells(const MakerValues& values) {
  std::vector<ValueCell> cells;
  for (const MakerField& f : MakerFields()) {
    if (f.header) continue;
    const MakerFieldValue v = values.Get(f);
    if (f.kind == K::kTariffs) {
      const Tariffs& t = std::get<Tariffs>(v);
      for (std::size_t i = kFirstTariff; i <= kLastTariff; ++i) {
        cells.push_back({"Energy tariff " + std::to_string(i), TariffText(t[i]), f.unit});
      }
    } else if (f.kind == K::kCount) {
      cells.push_back({f.label, std::to_string(std::get<std::int64_t>(v)), ""});
    } else if (f.kind == K::kFlags) {
      cells.push_back(
          {f.label, FlagBitsText(static_cast<std::uint64_t>(std::get<std::int64_t>(v))), ""});
    } else if (f.kind == K::kRelays) {
      const auto& relays = std::get<std::vector<int>>(v);  // only the relays the meter reports
      for (std::size_t r = 0; r < relays.size(); ++r) {
        if (relays[r] != kRelayNotReported) {
          cells.push_back({"Relay " + std::to_string(r), RelayText(relays[r]), ""});
        }
      }
    }
  }
  return cells;
}

std::string StatusLine(const MakerValues& values) {
  return OneLine(values.StatusText());
}

}  // namespace velmar::tools
