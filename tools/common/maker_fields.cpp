#include "maker_fields.hpp"

#include <cstdio>

namespace velmar::tools {
namespace {

using Json = nlohmann::ordered_json;
using Rows = std::vector<std::pair<std::string, std::string>>;

std::string Fixed2(double v) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return buf;
}

std::string WithUnit(const std::string& text, const char* unit) {
  return text + " " + unit;
}

// A tariff register the meter flags as not valid reads "-", here and wherever it is shown.
Json Tariff(const MakerValues& m, std::size_t t) {
  return m.energyTariff[t] ? Json(*m.energyTariff[t]) : Json("-");
}

// The tariffs the table and the window show: 1-4 (the meter keeps 0 and 5 unused).
constexpr std::size_t kFirstTariff = 1, kLastTariff = 4;

std::string TariffText(const MakerValues& m, std::size_t t) {
  const Json v = Tariff(m, t);
  return v.is_string() ? v.get<std::string>() : Fixed2(v.get<double>());
}

// One row under the field's own label.
Rows One(std::string text) {
  return {{"", std::move(text)}};
}

std::vector<ValueCell> Cell(const char* label, std::string text) {
  return {{label, std::move(text), ""}};
}

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

std::uint64_t AllFlags(const MakerValues& m) {
  return (static_cast<std::uint64_t>(static_cast<std::uint32_t>(m.errorFlagsHigh)) << 32) |
         static_cast<std::uint32_t>(m.errorFlags);
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

constexpr int kRelayNotReported = -2;

std::string RelayText(int state) {
  return state == 1 ? "on" : state == 0 ? "off" : "-";
}

std::vector<ValueCell> NumberCell(const char* label, std::int64_t n) {
  return Cell(label, std::to_string(n));
}

const std::vector<MakerField> kFields = {
    {"MeterID", "Meter ID", "",
     [](const MakerValues& m) { return m.identNumber <= 0 ? Json("") : Json(m.identNumber); },
     [](const MakerValues& m) {
       return One(m.identNumber <= 0 ? "" : std::to_string(m.identNumber));
     }},
    {"Manufacturer", "Manufacturer", "",
     [](const MakerValues& m) { return Json(m.Manufacturer()); },
     [](const MakerValues& m) { return One(m.Manufacturer()); }},
    {"protocolVersion", "Version", "", [](const MakerValues& m) { return Json(m.version); },
     [](const MakerValues& m) { return One(std::to_string(m.version)); }},
    {"PrimaryAddress", "Primary address", "",
     [](const MakerValues& m) { return Json(m.primaryAddress); },
     [](const MakerValues& m) { return One(std::to_string(m.primaryAddress)); }},
    {"MeterErrorCode", "Status", "", [](const MakerValues& m) { return Json(m.status); },
     [](const MakerValues& m) {
       return One(std::to_string(m.status) + " (" + StatusLine(m) + ")");
     }},
    {"MeterErrorString", "Status texts", "",
     [](const MakerValues& m) { return Json(m.StatusText()); },
     [](const MakerValues&) { return Rows{}; }},
    {"ActiveEnergyTotal", "Energy total", "kWh",
     [](const MakerValues& m) { return Json(m.energyTotal); },
     [](const MakerValues& m) { return One(WithUnit(Fixed2(m.energyTotal), "kWh")); }},
    {"ActiveEnergy", "Energy tariff", "kWh",
     [](const MakerValues& m) {
       Json a = Json::array();
       for (std::size_t t = 0; t < m.energyTariff.size(); ++t) a.push_back(Tariff(m, t));
       return a;
     },
     [](const MakerValues& m) {
       Rows rows;
       for (std::size_t t = kFirstTariff; t <= kLastTariff; ++t) {
         const std::string text = TariffText(m, t);
         rows.emplace_back("  tariff " + std::to_string(t),
                           text == "-" ? text : WithUnit(text, "kWh"));
       }
       return rows;
     },
     [](const MakerValues& m) {
       std::vector<ValueCell> cells;
       for (std::size_t t = kFirstTariff; t <= kLastTariff; ++t) {
         cells.push_back({"Energy tariff " + std::to_string(t), TariffText(m, t), "kWh"});
       }
       return cells;
     }},
    {"TransformerRatio", "Transformer ratio", "",
     [](const MakerValues& m) { return Json(m.transformerRatio); },
     [](const MakerValues& m) { return One(std::to_string(m.transformerRatio)); },
     [](const MakerValues& m) { return NumberCell("Transformer ratio", m.transformerRatio); }},
    {"activeTariff", "Active tariff", "", [](const MakerValues& m) { return Json(m.activeTariff); },
     [](const MakerValues& m) { return One(std::to_string(m.activeTariff)); },
     [](const MakerValues& m) { return NumberCell("Active tariff", m.activeTariff); }},
    {"powerFailCount", "Power failures", "",
     [](const MakerValues& m) { return Json(m.powerFailCount); },
     [](const MakerValues& m) { return One(std::to_string(m.powerFailCount)); },
     [](const MakerValues& m) { return NumberCell("Power failures", m.powerFailCount); }},
    {"errorFlags", "Error flags", "", [](const MakerValues& m) { return Json(m.errorFlags); },
     [](const MakerValues& m) {
       char buf[32];
       std::snprintf(buf, sizeof buf, "0x%08X 0x%08X", static_cast<unsigned>(m.errorFlagsHigh),
                     static_cast<unsigned>(m.errorFlags));
       return One(buf);
     },
     [](const MakerValues& m) { return Cell("Error flags", FlagBitsText(AllFlags(m))); }},
    {"errorFlagsHigh", "Error flags (high)", "",
     [](const MakerValues& m) { return Json(m.errorFlagsHigh); },
     [](const MakerValues&) { return Rows{}; }},
    {"MeterDate", "Date (YYMMDD)", "YYMMDD", [](const MakerValues& m) { return Json(m.date); },
     [](const MakerValues& m) { return One(m.date.empty() ? "-" : m.date); }},
    {"MeterTime", "Time", "hh:mm:ss", [](const MakerValues& m) { return Json(m.time); },
     [](const MakerValues& m) { return One(m.time.empty() ? "-" : m.time); }},
    {"getRelayState", "Relays", "",
     [](const MakerValues& m) {
       Json a = Json::array();
       for (int r : m.relays) a.push_back(r);
       return a;
     },
     [](const MakerValues& m) {
       std::string text;
       for (std::size_t r = 0; r < m.relays.size(); ++r) {
         text += std::to_string(r) + ":" + RelayText(m.relays[r]) + " ";
       }
       return One(text);
     },
     [](const MakerValues& m) {
       std::vector<ValueCell> cells;  // only the relays the meter reports
       for (std::size_t r = 0; r < m.relays.size(); ++r) {
         if (m.relays[r] != kRelayNotReported) {
           cells.push_back({"Relay " + std::to_string(r), RelayText(m.relays[r]), ""});
         }
       }
       return cells;
     }},
};

}  // namespace

const std::vector<MakerField>& MakerFields() {
  return kFields;
}

const MakerField* FindMakerField(const std::string& name) {
  for (const MakerField& f : kFields) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

std::vector<ValueCell> PanelCells(const MakerValues& values) {
  std::vector<ValueCell> cells;
  for (const MakerField& f : kFields) {
    if (f.panel == nullptr) continue;
    for (ValueCell& c : f.panel(values)) cells.push_back(std::move(c));
  }
  return cells;
}

std::string StatusLine(const MakerValues& values) {
  return OneLine(values.StatusText());
}

}  // namespace velmar::tools
