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

std::string StatusCell(const Json& v);

// The status byte's texts on one line, or "no errors".
std::string StatusLine(const MakerValues& m) {
  return StatusCell(Json(m.StatusText()));
}

// A tariff register the meter flags as not valid reads "-", here and wherever it is shown.
Json Tariff(const MakerValues& m, std::size_t t) {
  return m.energyTariff[t] ? Json(*m.energyTariff[t]) : Json("-");
}

Rows One(const char* label, std::string text) {
  return {{label, std::move(text)}};
}

// The status byte's texts, one per line from the meter, on one line for a cell.
std::string StatusCell(const Json& v) {
  std::string text = v.get<std::string>(), out;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find("\r\n", at);
    const std::string line = text.substr(at, end - at);
    if (!line.empty()) out += (out.empty() ? "" : ", ") + line;
    at = end == std::string::npos ? text.size() : end + 2;
  }
  return out.empty() ? "no errors" : out;
}

std::string HexCell(const Json& v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(v.get<std::int32_t>()));
  return buf;
}

std::string RelayCell(const Json& v) {
  const int s = v.get<int>();
  return s == 1 ? "on" : s == 0 ? "off" : "-";
}

// Numbers as they are, amounts of energy to the hundredth, texts as they are.
std::string PlainCell(const Json& v, const char* unit) {
  if (v.is_string()) return v.get<std::string>();
  if (v.is_number_float()) {
    return std::string(unit) == "kWh" ? Fixed2(v.get<double>()) : v.dump();
  }
  return v.dump();
}

const std::vector<MakerField> kFields = {
    {"MeterID", "Meter ID", "",
     [](const MakerValues& m) { return m.identNumber <= 0 ? Json("") : Json(m.identNumber); },
     [](const MakerValues& m) {
       return One("Meter ID", m.identNumber <= 0 ? "" : std::to_string(m.identNumber));
     }},
    {"Manufacturer", "Manufacturer", "",
     [](const MakerValues& m) { return Json(m.Manufacturer()); },
     [](const MakerValues& m) { return One("Manufacturer", m.Manufacturer()); }},
    {"protocolVersion", "Version", "", [](const MakerValues& m) { return Json(m.version); },
     [](const MakerValues& m) { return One("Version", std::to_string(m.version)); }},
    {"PrimaryAddress", "Primary address", "",
     [](const MakerValues& m) { return Json(m.primaryAddress); },
     [](const MakerValues& m) { return One("Primary address", std::to_string(m.primaryAddress)); }},
    {"MeterErrorCode", "Status", "", [](const MakerValues& m) { return Json(m.status); },
     [](const MakerValues& m) {
       return One("Status", std::to_string(m.status) + " (" + StatusLine(m) + ")");
     }},
    {"MeterErrorString", "Status texts", "",
     [](const MakerValues& m) { return Json(m.StatusText()); },
     [](const MakerValues&) { return Rows{}; }, StatusCell},
    {"ActiveEnergyTotal", "Energy total", "kWh",
     [](const MakerValues& m) { return Json(m.energyTotal); },
     [](const MakerValues& m) {
       return One("Energy total", WithUnit(Fixed2(m.energyTotal), "kWh"));
     }},
    {"ActiveEnergy", "Energy tariff", "kWh",
     [](const MakerValues& m) {
       Json a = Json::array();
       for (std::size_t t = 0; t < m.energyTariff.size(); ++t) a.push_back(Tariff(m, t));
       return a;
     },
     [](const MakerValues& m) {
       Rows rows;
       for (std::size_t t = 1; t <= 4; ++t) {
         const Json v = Tariff(m, t);
         rows.emplace_back(
             "  tariff " + std::to_string(t),
             v.is_string() ? v.get<std::string>() : WithUnit(Fixed2(v.get<double>()), "kWh"));
       }
       return rows;
     }},
    {"TransformerRatio", "Transformer ratio", "",
     [](const MakerValues& m) { return Json(m.transformerRatio); },
     [](const MakerValues& m) {
       return One("Transformer ratio", std::to_string(m.transformerRatio));
     }},
    {"activeTariff", "Active tariff", "", [](const MakerValues& m) { return Json(m.activeTariff); },
     [](const MakerValues& m) { return One("Active tariff", std::to_string(m.activeTariff)); }},
    {"powerFailCount", "Power failures", "",
     [](const MakerValues& m) { return Json(m.powerFailCount); },
     [](const MakerValues& m) { return One("Power failures", std::to_string(m.powerFailCount)); }},
    {"errorFlags", "Error flags", "", [](const MakerValues& m) { return Json(m.errorFlags); },
     [](const MakerValues& m) {
       char buf[32];
       std::snprintf(buf, sizeof buf, "0x%08X 0x%08X", static_cast<unsigned>(m.errorFlagsHigh),
                     static_cast<unsigned>(m.errorFlags));
       return One("Error flags", buf);
     },
     HexCell},
    {"errorFlagsHigh", "Error flags (high)", "",
     [](const MakerValues& m) { return Json(m.errorFlagsHigh); },
     [](const MakerValues&) { return Rows{}; }, HexCell},
    {"MeterDate", "Date", "YYMMDD", [](const MakerValues& m) { return Json(m.date); },
     [](const MakerValues& m) { return One("Date (YYMMDD)", m.date.empty() ? "-" : m.date); }},
    {"MeterTime", "Time", "hh:mm:ss", [](const MakerValues& m) { return Json(m.time); },
     [](const MakerValues& m) { return One("Time", m.time.empty() ? "-" : m.time); }},
    {"getRelayState", "Relay", "",
     [](const MakerValues& m) {
       Json a = Json::array();
       for (int r : m.relays) a.push_back(r);
       return a;
     },
     [](const MakerValues& m) {
       std::string text;
       for (std::size_t r = 0; r < m.relays.size(); ++r) {
         text += std::to_string(r) + ":" + RelayCell(Json(m.relays[r])) + " ";
       }
       return One("Relays", text);
     },
     RelayCell},
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

std::vector<ValueCell> ValueCells(const MakerValues& values) {
  std::vector<ValueCell> cells;
  for (const MakerField& f : kFields) {
    const Json v = f.json(values);
    const auto text = [&](const Json& one) {
      return f.cell ? f.cell(one) : PlainCell(one, f.unit);
    };
    if (!v.is_array()) {
      cells.push_back({f.label, text(v), f.unit});
      continue;
    }
    for (std::size_t i = 0; i < v.size(); ++i) {
      cells.push_back({std::string(f.label) + " " + std::to_string(i), text(v[i]), f.unit});
    }
  }
  return cells;
}

}  // namespace velmar::tools
