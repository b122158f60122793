#include "records/vif_tables.hpp"

#include <array>

namespace velmar::records {
namespace {

using Table = std::array<VifEntry, 128>;

constexpr std::string_view kTimeUnits[4] = {"s", "min", "h", "d"};

// Fills `count` codes from `first`, the n-th with exponent `base + n`.
constexpr void Scaled(Table& t, int first, int count, std::string_view quantity,
                      std::string_view unit, int base, Measure measure = Measure::kOther) {
  for (int n = 0; n < count; ++n) {
    t[static_cast<std::size_t>(first + n)] = {quantity, unit, static_cast<std::int8_t>(base + n),
                                              VifKind::kScaled, measure};
  }
}

// Four codes from `first` naming a duration in seconds, minutes, hours, days.
constexpr void Durations(Table& t, int first, std::string_view quantity) {
  for (int n = 0; n < 4; ++n) {
    t[static_cast<std::size_t>(first + n)] = {quantity, kTimeUnits[n], 0, VifKind::kDuration};
  }
}

constexpr void Plain(Table& t, int code, std::string_view quantity) {
  t[static_cast<std::size_t>(code)] = {quantity, "", 0, VifKind::kPlain};
}

constexpr void Bits(Table& t, int code, std::string_view quantity) {
  t[static_cast<std::size_t>(code)] = {quantity, "", 0, VifKind::kBits};
}

constexpr Table MakePrimary() {
  Table t{};
  Scaled(t, 0x00, 8, "Energy", "Wh", -3, Measure::kEnergyWh);
  Scaled(t, 0x08, 8, "Energy", "J", 0, Measure::kEnergyJ);
  Scaled(t, 0x10, 8, "Volume", "m^3", -6, Measure::kVolumeM3);
  Scaled(t, 0x18, 8, "Mass", "kg", -3, Measure::kMassKg);
  Durations(t, 0x20, "On time");
  Durations(t, 0x24, "Operating time");
  Scaled(t, 0x28, 8, "Power", "W", -3, Measure::kPowerW);
  Scaled(t, 0x30, 8, "Power", "J/h", 0, Measure::kPowerJPerH);
  Scaled(t, 0x38, 8, "Volume flow", "m^3/h", -6, Measure::kVolumeFlowM3PerH);
  Scaled(t, 0x40, 8, "Volume flow", "m^3/min", -7, Measure::kVolumeFlowM3PerMin);
  Scaled(t, 0x48, 8, "Volume flow", "m^3/s", -9, Measure::kVolumeFlowM3PerS);
  Scaled(t, 0x50, 8, "Mass flow", "kg/h", -3);
  Scaled(t, 0x58, 4, "Flow temperature", "°C", -3, Measure::kFlowTemperatureC);
  Scaled(t, 0x5C, 4, "Return temperature", "°C", -3, Measure::kReturnTemperatureC);
  Scaled(t, 0x60, 4, "Temperature difference", "K", -3, Measure::kTemperatureDifferenceK);
  Scaled(t, 0x64, 4, "External temperature", "°C", -3, Measure::kExternalTemperatureC);
  Scaled(t, 0x68, 4, "Pressure", "bar", -3, Measure::kPressureBar);
  t[0x6C] = {"Date", "", 0, VifKind::kDate};
  t[0x6D] = {"Date and time", "", 0, VifKind::kDateTime, Measure::kDateTime};
  t[0x6E] = {"Units for H.C.A.", "", 0, VifKind::kPlain, Measure::kHcaUnits};
  Durations(t, 0x70, "Averaging duration");
  Durations(t, 0x74, "Actuality duration");
  Plain(t, 0x78, "Fabrication number");
  Plain(t, 0x79, "Enhanced identification");
  Plain(t, 0x7A, "Bus address");
  return t;
}

constexpr Table MakeFB() {
  Table t{};
  Scaled(t, 0x00, 2, "Energy", "Wh", 5, Measure::kEnergyWh);  // 0.1 MWh and 1 MWh
  Scaled(t, 0x08, 2, "Energy", "J", 8, Measure::kEnergyJ);    // 0.1 GJ and 1 GJ
  Scaled(t, 0x10, 2, "Volume", "m^3", 2, Measure::kVolumeM3);
  Scaled(t, 0x18, 2, "Mass", "kg", 5, Measure::kMassKg);  // 100 t and 1000 t
  Scaled(t, 0x1A, 2, "Relative humidity", "%", -1, Measure::kRelativeHumidity);
  Scaled(t, 0x21, 1, "Volume", "ft^3", -1);
  Scaled(t, 0x22, 1, "Volume", "US gal", -1);
  Scaled(t, 0x23, 1, "Volume", "US gal", 0);
  Scaled(t, 0x24, 1, "Volume flow", "US gal/min", -3);
  Scaled(t, 0x25, 1, "Volume flow", "US gal/min", 0);
  Scaled(t, 0x26, 1, "Volume flow", "US gal/h", 0);
  Scaled(t, 0x28, 2, "Power", "W", 5, Measure::kPowerW);  // 0.1 MW and 1 MW
  Scaled(t, 0x30, 2, "Power", "J/h", 8, Measure::kPowerJPerH);
  Scaled(t, 0x58, 4, "Flow temperature", "°F", -3);
  Scaled(t, 0x5C, 4, "Return temperature", "°F", -3);
  Scaled(t, 0x60, 4, "Temperature difference", "°F", -3);
  Scaled(t, 0x64, 4, "External temperature", "°F", -3);
  Scaled(t, 0x70, 4, "Cold/warm temperature limit", "°F", -3);
  Scaled(t, 0x74, 4, "Cold/warm temperature limit", "°C", -3);
  Scaled(t, 0x78, 8, "Cumulative count max power", "W", -3);
  return t;
}

constexpr Table MakeFD() {
  Table t{};
  Scaled(t, 0x00, 4, "Credit", "currency units", -3);
  Scaled(t, 0x04, 4, "Debit", "currency units", -3);
  Plain(t, 0x08, "Access number");
  Plain(t, 0x09, "Medium");
  Plain(t, 0x0A, "Manufacturer");
  Plain(t, 0x0B, "Parameter set identification");
  Plain(t, 0x0C, "Model/version");
  Plain(t, 0x0D, "Hardware version");
  Plain(t, 0x0E, "Firmware version");
  Plain(t, 0x0F, "Software version");
  Plain(t, 0x10, "Customer location");
  Plain(t, 0x11, "Customer");
  Plain(t, 0x12, "Access code user");
  Plain(t, 0x13, "Access code operator");
  Plain(t, 0x14, "Access code system operator");
  Plain(t, 0x15, "Access code developer");
  Plain(t, 0x16, "Password");
  Bits(t, 0x17, "Error flags");
  Bits(t, 0x18, "Error mask");
  Bits(t, 0x1A, "Digital output");
  Bits(t, 0x1B, "Digital input");
  Scaled(t, 0x1C, 1, "Baud rate", "Bd", 0);
  Scaled(t, 0x1D, 1, "Response delay time", "bit times", 0);
  Plain(t, 0x1E, "Retry");
  Plain(t, 0x20, "First storage number for cyclic storage");
  Plain(t, 0x21, "Last storage number for cyclic storage");
  Plain(t, 0x22, "Size of storage block");
  Durations(t, 0x24, "Storage interval");
  t[0x28] = {"Storage interval", "month", 0, VifKind::kDuration};
  t[0x29] = {"Storage interval", "a", 0, VifKind::kDuration};
  Durations(t, 0x2C, "Duration since last readout");
  t[0x30] = {"Start of tariff", "", 0, VifKind::kDateTime};
  for (int n = 1; n < 4; ++n) {
    t[static_cast<std::size_t>(0x30 + n)] = {"Duration of tariff", kTimeUnits[n], 0,
                                             VifKind::kDuration};
  }
  Durations(t, 0x34, "Period of tariff");
  t[0x38] = {"Period of tariff", "month", 0, VifKind::kDuration};
  t[0x39] = {"Period of tariff", "a", 0, VifKind::kDuration};
  Plain(t, 0x3A, "Dimensionless");
  Scaled(t, 0x40, 16, "Voltage", "V", -9, Measure::kVoltageV);
  Scaled(t, 0x50, 16, "Current", "A", -12, Measure::kCurrentA);
  Plain(t, 0x60, "Reset counter");
  Plain(t, 0x61, "Cumulation counter");
  Plain(t, 0x62, "Control signal");
  Plain(t, 0x63, "Day of week");
  Plain(t, 0x64, "Week number");
  Plain(t, 0x65, "Time point of day change");
  Plain(t, 0x66, "State of parameter activation");
  Plain(t, 0x67, "Special supplier information");
  constexpr std::string_view kLong[4] = {"h", "d", "month", "a"};
  for (int n = 0; n < 4; ++n) {
    t[static_cast<std::size_t>(0x68 + n)] = {"Duration since last cumulation", kLong[n], 0,
                                             VifKind::kDuration};
    t[static_cast<std::size_t>(0x6C + n)] = {"Operating time battery", kLong[n], 0,
                                             VifKind::kDuration};
  }
  t[0x70] = {"Date and time of battery change", "", 0, VifKind::kDateTime};
  Scaled(t, 0x71, 1, "RF level", "dBm", 0);
  t[0x74] = {"Remaining battery life time", "d", 0, VifKind::kDuration};
  Plain(t, 0x75, "Number of times the meter was stopped");
  return t;
}

constexpr Table kPrimary = MakePrimary();
constexpr Table kFB = MakeFB();
constexpr Table kFD = MakeFD();

// Orthogonal VIFEs 0x20 to 0x38: "per" and "multiplied by" units.
constexpr std::string_view kPer[] = {"/s",
                                     "/min",
                                     "/h",
                                     "/d",
                                     "/week",
                                     "/month",
                                     "/a",
                                     "/revolution",
                                     "/input pulse",
                                     "/input pulse",
                                     "/output pulse",
                                     "/output pulse",
                                     "/l",
                                     "/m^3",
                                     "/kg",
                                     "/K",
                                     "/kWh",
                                     "/GJ",
                                     "/kW",
                                     "/(K*l)",
                                     "/V",
                                     "/A",
                                     "*s",
                                     "*s/V",
                                     "*s/A"};

// Date (and time) of the begin or end of the first or last limit exceed (E100 uf1b), and of the
// first or last begin or end (E110 1f1b); 0x39 is the start date (and time) of the quantity.
constexpr bool IsTimePointVife(int c) {
  return ((c & 0x72) == 0x42) || ((c & 0x7A) == 0x6A) || c == 0x39;
}

}  // namespace

const VifEntry& PrimaryVif(std::uint8_t code) {
  return kPrimary[code & 0x7F];
}
const VifEntry& ExtensionFB(std::uint8_t code) {
  return kFB[code & 0x7F];
}
const VifEntry& ExtensionFD(std::uint8_t code) {
  return kFD[code & 0x7F];
}

namespace {

constexpr VifeEffect MakeEffect(int c) {
  VifeEffect e;
  if (c == 0x1E || c == 0x1F) {
    e.profile = true;
  } else if (c <= 0x1F) {
    e.isError = true;
  } else if (c <= 0x38) {
    e.unitSuffix = kPer[c - 0x20];
  } else if (IsTimePointVife(c)) {
    e.timePoint = true;
  } else if (c >= 0x70 && c <= 0x77) {
    e.correctionExponent = static_cast<std::int8_t>((c & 0x07) - 6);
  } else if (c == 0x7C) {
    e.extension = true;
  } else if (c == 0x7D) {
    e.correctionExponent = 3;
  } else if (c == 0x7F) {
    e.manufacturer = true;
  }
  return e;
}

constexpr std::array<VifeEffect, 128> MakeEffects() {
  std::array<VifeEffect, 128> effects{};
  for (int c = 0; c < 128; ++c) effects[static_cast<std::size_t>(c)] = MakeEffect(c);
  return effects;
}

constexpr std::array<VifeEffect, 128> kEffects = MakeEffects();

}  // namespace

const VifeEffect& OrthogonalVife(std::uint8_t code) {
  return kEffects[code & 0x7F];
}

std::uint8_t ExtensionPhase(std::uint8_t code) {
  const auto c = static_cast<std::uint8_t>(code & 0x7F);
  return c >= 1 && c <= 3 ? c : 0;
}

std::string_view MediumName(std::uint8_t medium) {
  static constexpr std::string_view kNames[] = {"Other",
                                                "Oil",
                                                "Electricity",
                                                "Gas",
                                                "Heat (outlet)",
                                                "Steam",
                                                "Warm water (30-90 °C)",
                                                "Water",
                                                "Heat cost allocator",
                                                "Compressed air",
                                                "Cooling load meter (outlet)",
                                                "Cooling load meter (inlet)",
                                                "Heat (inlet)",
                                                "Heat / cooling load meter",
                                                "Bus / system component",
                                                "Unknown medium"};
  if (medium < std::size(kNames)) return kNames[medium];
  switch (medium) {
    case 0x15:
      return "Hot water (90 °C and above)";
    case 0x16:
      return "Cold water";
    case 0x17:
      return "Dual register (hot/cold) water";
    case 0x18:
      return "Pressure";
    case 0x19:
      return "A/D converter";
    case 0x1A:
      return "Smoke detector";
    case 0x1B:
      return "Room sensor";
    case 0x1C:
      return "Gas detector";
    case 0x20:
      return "Breaker (electricity)";
    case 0x21:
      return "Valve (gas or water)";
    case 0x25:
      return "Customer unit (display)";
    case 0x28:
      return "Waste water";
    case 0x29:
      return "Garbage";
    case 0x2A:
      return "Carbon dioxide";
    case 0x31:
      return "Communication controller";
    case 0x32:
      return "Unidirectional repeater";
    case 0x33:
      return "Bidirectional repeater";
    case 0x36:
      return "Radio converter (system side)";
    case 0x37:
      return "Radio converter (meter side)";
    default:
      return "Reserved";
  }
}

}  // namespace velmar::records
