// The named values of this maker's electricity meters (manufacturer ORV), taken from their
// RSP_UD telegrams by the same record walker the control reads them with, but into a store the
// caller owns: nothing here touches a thread's link state or meter data, so any host can decode
// any number of meters on one thread and keep each reading apart.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace velmar {

// The manufacturer code of this maker's meters: "ORV" packed five bits a letter.
constexpr std::uint16_t kMakerManufacturerCode = 0x3E56;

struct MakerValues {
  // Fixed data header.
  std::uint8_t primaryAddress = 0;
  std::int32_t identNumber = 0;
  std::uint16_t manufacturerCode = 0;
  std::uint8_t version = 0;
  std::uint8_t status = 0;
  // Active energy in kWh: the total and tariffs 0-5; a tariff the meter flags as not valid is
  // empty (the control shows it as "-").
  double energyTotal = 0;
  std::array<std::optional<double>, 6> energyTariff{};
  std::int32_t transformerRatio = 0;
  std::int16_t activeTariff = 0;
  std::int16_t powerFailCount = 0;
  std::int32_t errorFlags = 0;
  std::int32_t errorFlagsHigh = 0;
  std::string date;  // YYMMDD as the meter sends it, "" when absent
  std::string time;  // hh:mm:ss, "" when absent
  // Relay outputs 0-5: 1 on, 0 off, -2 not reported.
  std::array<int, 6> relays{-2, -2, -2, -2, -2, -2};
  // Power in W, voltage in V, current in A; index 0 is the total (for voltage and current the
  // value without a phase), 1-3 the phases L1-L3.
  std::array<double, 4> activePower{};
  std::array<double, 4> reactivePower{};
  std::array<double, 4> apparentPower{};
  std::array<double, 4> voltage{};
  std::array<double, 4> current{};
  std::array<double, 4> powerFactor{};
  bool moreRecords = false;  // the telegram ended with "more records follow"

  // The manufacturer's three letters ("" for code 0 or a code with its top bit set).
  std::string Manufacturer() const;
  // The status byte's bits as text, one per line, as the control's MeterErrorString.
  std::string StatusText() const;
};

// Whether a fixed data header names this maker (the telegram then decodes into MakerValues).
bool IsMakerMeter(std::uint16_t manufacturerCode);

// Checks one RSP_UD as the control checks its replies (a leading 0xFC is read as 0x68; the
// C field must be 0x08 and the CI field 0x72; the frame ends at the last byte of `telegram`) and
// walks its records into a fresh `out`. Returns 0 or a LinkResult code; on a code `out` holds
// what was walked before the fault. Never reads outside `telegram`; microseconds; never throws
// but std::bad_alloc.
std::int16_t DecodeMakerValues(std::span<const std::uint8_t> telegram, MakerValues& out);

// The telegrams of one reading in order, walked into one store, so a later telegram adds its
// records to the earlier ones' values. Stops at the first telegram that fails its check and
// returns its code (0 when all pass); the header is the first telegram's.
std::int16_t DecodeMakerValues(std::span<const std::vector<std::uint8_t>> telegrams,
                               MakerValues& out);

}  // namespace velmar
