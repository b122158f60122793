#include "decode/record_walker.hpp"

#include <algorithm>
#include <array>
#include <limits>

#include "codec/maker_phase.hpp"
#include "decode/meter_data.hpp"
#include "decode/quantities.hpp"
#include "decode/value_conversion.hpp"
#include "velmar/results.hpp"

namespace velmar {
namespace {

constexpr std::array<std::int16_t, 16> kFieldLength = {0, 1, 2, 3, 4, 4, 6, 8,
                                                       0, 1, 2, 3, 4, 0, 6, 0};

void BeginRecord(OrvMeterData& d, std::uint8_t dif) {
  d.dataCoding = dif & 0x0F;
  d.dataLen = DataFieldLength(dif);
  d.recordSubunit = 0;
  d.recordTariff = 0;
  d.recordPhase = 0;
  d.lastVife = 0;
  d.decodeState = (dif & 0x80) ? kExpectDife : kExpectVif;
}

void OnDif(OrvMeterData& d, std::uint8_t b) {
  if ((b & 0x0F) == 0x0F) {
    d.moreRecords = (b & 0x10) != 0;
    d.decodeState = kBeforeMarker;
  } else {
    BeginRecord(d, b);
  }
  d.fieldPos = 0;
}

// The subunit counts the DIFEs with bit 6 set; the tariff of DIFE n (from 0) is its two tariff
// bits plus 4^n - 1, so a second DIFE lifts tariffs 1-3 to 4-6. A chain long enough to leave
// the 16-bit range only names a tariff nobody stores, so it is held at the top of the range.
void OnDife(OrvMeterData& d, std::uint8_t b) {
  if (b & 0x40) d.recordSubunit = static_cast<std::int16_t>(d.recordSubunit + 1);
  if (b & 0x30) {
    constexpr int kTop = std::numeric_limits<std::int16_t>::max();
    const int bits = (b & 0x30) >> 4;
    // 4^n - 1 + bits stays below the top for n up to 7; beyond that it is held at the top.
    const int tariff = d.fieldPos < 8 ? (1 << (2 * d.fieldPos)) - 1 + bits : kTop;
    d.recordTariff = static_cast<std::int16_t>(std::min(tariff, kTop));
  }
  if (b & 0x80) {
    d.fieldPos = static_cast<std::int16_t>(d.fieldPos + 1);
  } else {
    d.decodeState = kExpectVif;
    d.fieldPos = 0;
  }
}

// A record without data bytes (codings 0x0 and 0x8) is complete as soon as its VIF part ends.
void EnterData(OrvMeterData& d) {
  d.fieldPos = 0;
  if (d.dataLen == 0 && d.dataCoding != 0xD) {
    d.recordValue = 0;
    d.recordValueHigh = 0;
    InterpretRecord(d);
    d.decodeState = kExpectDif;
  } else {
    d.decodeState = kExpectData;
  }
}

void OnVif(OrvMeterData& d, std::uint8_t b) {
  const int v = b & 0x7F;
  if (v >= 0x01 && v <= 0x07) {
    d.quantityCode = kEnergy;
    d.decimals = static_cast<std::int16_t>(6 - (v & 7));  // 0x03 Wh -> 3, 0x06 kWh -> 0
  } else if (v == 0x29) {
    d.quantityCode = kPower;
    d.decimals = 2;
  } else if (v == 0x6D) {
    d.quantityCode = kDateTime;
    d.decimals = 0;
  } else if (v == 0x7B) {
    d.quantityCode = kVif7B;
  } else if (v == 0x7D) {
    d.quantityCode = kVifExtensionFD;
  } else if (v == 0x7F) {
    d.quantityCode = kVifExtensionFF;
  } else {
    d.quantityCode = kUnused;
  }
  if (b & 0x80) {
    d.decodeState = kExpectVife;
  } else {
    EnterData(d);
  }
}

void SelectFromFD(OrvMeterData& d, int v) {
  switch (v) {
    case 0x0E:
      d.quantityCode = kFirmwareVersion;
      break;
    case 0x17:
      d.quantityCode = kErrorFlags;
      break;
    case 0x1A:
      d.quantityCode = kDigitalOutput;
      break;
    case 0x48:
      d.quantityCode = kVoltage;
      d.decimals = 1;
      break;
    case 0x5A:
      d.quantityCode = kCurrent;
      d.decimals = 2;
      break;
    default:
      break;
  }
}

void SelectFromFF(OrvMeterData& d, int v) {
  switch (v) {
    case 0x12:
      d.quantityCode = kTransformerRatio;
      break;
    case 0x13:
      d.quantityCode = kActiveTariff;
      break;
    case 0x18:
      d.quantityCode = kPowerFailCount;
      break;
    case 0x52:
      d.quantityCode = kMfrValue52;
      break;
    case 0x59:
      d.quantityCode = kMfrValue59;
      d.decimals = 2;
      break;
    case 0x60:
      d.quantityCode = kPowerFactor;
      d.decimals = 3;
      break;
    case 0x6C:
      d.quantityCode = kDuration;
      break;
    default:
      break;
  }
}

void OnVife(OrvMeterData& d, std::uint8_t b) {
  d.lastVife = b & 0x7F;
  switch (d.quantityCode) {
    case kEnergy:
    case kDateTime:
      // Any extension other than 0x00 changes what the value means; the record is not used.
      if (b != 0x00) d.quantityCode = kUnused;
      break;
    case kPower:
    case kVoltage:
    case kCurrent:
    case kPowerFactor:
    case kMfrValue52:
      d.recordPhase = codec::MakerPhase(b);
      break;
    case kVifExtensionFD:
      SelectFromFD(d, b & 0x7F);
      break;
    case kVifExtensionFF:
      SelectFromFF(d, b & 0x7F);
      break;
    default:
      break;
  }
  if (b & 0x80) {
    d.fieldPos = static_cast<std::int16_t>(d.fieldPos + 1);
  } else {
    EnterData(d);
  }
}

void OnData(OrvMeterData& d, std::uint8_t b) {
  ConvertValueByte(d, b);
  d.fieldPos = static_cast<std::int16_t>(d.fieldPos + 1);
  if (d.fieldPos >= d.dataLen) {
    InterpretRecord(d);
    d.decodeState = kExpectDif;
    d.fieldPos = 0;
  }
}

std::int16_t OnBlock(OrvMeterData& d, std::uint8_t b, std::uint8_t decodeMode) {
  if (d.fieldPos == 0) {
    if (b != decodeMode && decodeMode != kAnyBlockType) return LinkResult::kWrongBlockType;
  } else if (d.fieldPos == 1) {
    d.mfrStatus = b;
    d.mfrDataLen = 0;
    d.mfrBlockSeen = true;
  } else if (static_cast<std::size_t>(d.mfrDataLen) < d.mfrData.size()) {
    d.mfrData[static_cast<std::size_t>(d.mfrDataLen)] = b;
    d.mfrDataLen = static_cast<std::int16_t>(d.mfrDataLen + 1);
  }
  if (d.fieldPos < std::numeric_limits<std::int16_t>::max()) {
    d.fieldPos = static_cast<std::int16_t>(d.fieldPos + 1);
  }
  return LinkResult::kOk;
}

// A number field whose remaining bytes are all at hand is converted in one step; a text field
// sets its own length from its first byte, so it always goes byte by byte.
std::size_t WholeFieldAtHand(const OrvMeterData& d, std::size_t available) {
  if (d.decodeState != kExpectData || d.dataCoding == 0xD) return 0;
  const auto rest = static_cast<std::size_t>(d.dataLen - d.fieldPos);
  return rest <= available ? rest : 0;
}

// DIF, DIFEs, VIF and VIFEs of one record, in the order they stand: the same steps the per-byte
// dispatch would take, without guessing the state before every byte.
std::size_t TakeRecordHead(OrvMeterData& d, std::span<const std::uint8_t> bytes) {
  std::size_t n = 0;
  OnDif(d, bytes[n++]);
  while (n < bytes.size() && d.decodeState == kExpectDife) OnDife(d, bytes[n++]);
  if (n < bytes.size() && d.decodeState == kExpectVif) OnVif(d, bytes[n++]);
  while (n < bytes.size() && d.decodeState == kExpectVife) OnVife(d, bytes[n++]);
  return n;
}

}  // namespace

std::int16_t DataFieldLength(std::uint8_t dif) {
  return kFieldLength[dif & 0x0F];
}

std::int16_t DecodeDataRecords(OrvMeterData& d, std::uint8_t b, std::uint8_t decodeMode) {
  switch (d.decodeState) {
    case kExpectDif:
      OnDif(d, b);
      break;
    case kExpectDife:
      OnDife(d, b);
      break;
    case kExpectVif:
      OnVif(d, b);
      break;
    case kExpectVife:
      OnVife(d, b);
      break;
    case kExpectData:
      OnData(d, b);
      break;
    case kBeforeMarker:
      if (b == 0x80) {
        d.decodeState = kInBlock;
        d.fieldPos = 0;
      }
      break;
    case kInBlock:
      return OnBlock(d, b, decodeMode);
    default:
      break;
  }
  return 0;
}

std::int16_t DecodeRecordArea(OrvMeterData& d, std::span<const std::uint8_t> bytes,
                              std::uint8_t decodeMode, std::size_t& consumed) {
  consumed = 0;
  while (consumed < bytes.size()) {
    if (const std::size_t field = WholeFieldAtHand(d, bytes.size() - consumed)) {
      ConvertValueBytes(d, bytes.subspan(consumed, field));
      consumed += field;
      InterpretRecord(d);
      d.decodeState = kExpectDif;
      d.fieldPos = 0;
      continue;
    }
    if (d.decodeState == kExpectDif) {
      consumed += TakeRecordHead(d, bytes.subspan(consumed));
      continue;
    }
    const std::int16_t result = DecodeDataRecords(d, bytes[consumed], decodeMode);
    if (result < 0) return result;
    ++consumed;
  }
  return 0;
}

}  // namespace velmar
