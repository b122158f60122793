#include "meter_model.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "codec/tariff_image.hpp"

namespace velmar::sim {
namespace {

constexpr std::uint8_t kAck = 0xE5;
constexpr std::size_t kFirstBlockSize = 197;   // image bytes 0-196
constexpr std::size_t kSecondBlockSize = 107;  // image bytes 197-303
constexpr std::size_t kMaxUserData = 252;
constexpr std::uint8_t kStatusImageRefused = 7;

// The meter checks the image with its own CRC-16 (polynomial 0x1021, start 0, result inverted),
// computed from a table, so a fault in the master's bitwise CRC does not hide behind a shared
// routine.
std::uint16_t ImageCrc(std::span<const std::uint8_t> bytes) {
  static const auto kTable = [] {
    std::array<std::uint16_t, 256> t{};
    for (unsigned i = 0; i < 256; ++i) {
      unsigned c = i << 8;
      for (int bit = 0; bit < 8; ++bit) c = (c & 0x8000) ? (c << 1) ^ 0x1021 : c << 1;
      t[i] = static_cast<std::uint16_t>(c);
    }
    return t;
  }();
  std::uint16_t crc = 0;
  for (std::uint8_t b : bytes) {
    crc = static_cast<std::uint16_t>((crc << 8) ^ kTable[((crc >> 8) ^ b) & 0xFF]);
  }
  return static_cast<std::uint16_t>(~crc);
}

using Bytes = std::vector<std::uint8_t>;

void PutInt(Bytes& out, std::int64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i)
    out.push_back(static_cast<std::uint8_t>((value >> (8 * i)) & 0xFF));
}

void PutBcd(Bytes& out, std::int64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    const int two = static_cast<int>(value % 100);
    out.push_back(static_cast<std::uint8_t>(((two / 10) << 4) | (two % 10)));
    value /= 100;
  }
}

std::int64_t Scaled(double value, int decimals) {
  return std::llround(value * std::pow(10.0, decimals));
}

// DIF (with DIFEs for the subunit) and a VIF for subunit s: each DIFE with bit 6 counts one.
void PutSubunitDif(Bytes& out, std::uint8_t coding, int subunit) {
  if (subunit == 0) {
    out.push_back(coding);
    return;
  }
  out.push_back(static_cast<std::uint8_t>(coding | 0x80));
  for (int i = 1; i < subunit; ++i) out.push_back(0xC0);
  out.push_back(0x40);
}

void PutPower(Bytes& out, const std::array<double, 4>& watts, int subunit, bool phases) {
  for (int p = 0; p <= 3; ++p) {
    if (p > 0 && (!phases || watts[static_cast<std::size_t>(p)] == 0)) continue;
    PutSubunitDif(out, 0x04, subunit);
    if (p == 0) {
      out.push_back(0x29);
    } else {
      out.push_back(0xA9);
      out.push_back(static_cast<std::uint8_t>(p));
    }
    PutInt(out, Scaled(watts[static_cast<std::size_t>(p)], 2), 4);
  }
}

// Voltage, current and power factor: one record per non-zero value, phase in a VIFE.
void PutPhased(Bytes& out, const std::array<double, 4>& values, std::uint8_t coding, int width,
               std::uint8_t vif, std::uint8_t vife, int decimals) {
  for (int p = 0; p <= 3; ++p) {
    const double v = values[static_cast<std::size_t>(p)];
    if (v == 0) continue;
    out.push_back(coding);
    out.push_back(vif);
    if (p == 0) {
      out.push_back(vife);
    } else {
      out.push_back(static_cast<std::uint8_t>(vife | 0x80));
      out.push_back(static_cast<std::uint8_t>(p));
    }
    PutInt(out, Scaled(v, decimals), width);
  }
}

std::int64_t DurationDigits(std::int32_t seconds) {
  const std::int64_t d = seconds / 86400, h = seconds / 3600 % 24, m = seconds / 60 % 60,
                     s = seconds % 60;
  return ((d * 100 + h) * 100 + m) * 100 + s;
}

int BcdByte(std::uint8_t b) {
  return (b >> 4) * 10 + (b & 0x0F);
}

std::string TwoDigits(int v) {
  std::string s = std::to_string(((v % 100) + 100) % 100);
  return s.size() < 2 ? "0" + s : s;
}

bool ValidShortFrame(std::span<const std::uint8_t> f) {
  return f.size() == 5 && f[0] == 0x10 && f[4] == 0x16 &&
         static_cast<std::uint8_t>(f[1] + f[2]) == f[3];
}

bool ValidLongFrame(std::span<const std::uint8_t> f) {
  if (f.size() < 9 || f[0] != 0x68 || f[3] != 0x68 || f[1] != f[2]) return false;
  const std::size_t l = f[1];
  if (f.size() != l + 6 || f.back() != 0x16) return false;
  std::uint8_t sum = 0;
  for (std::size_t i = 4; i < 4 + l; ++i) sum = static_cast<std::uint8_t>(sum + f[i]);
  return sum == f[4 + l];
}

void FixChecksum(Bytes& t) {
  const std::size_t l = t[1];
  std::uint8_t sum = 0;
  for (std::size_t i = 4; i < 4 + l; ++i) sum = static_cast<std::uint8_t>(sum + t[i]);
  t[4 + l] = sum;
}

}  // namespace

std::uint16_t ManufacturerCode(const std::string& letters) {
  std::uint16_t code = 0;
  for (std::size_t i = 0; i < 3; ++i) {
    const int v = i < letters.size() ? (letters[i] - 64) & 0x1F : 0;
    code = static_cast<std::uint16_t>((code << 5) | v);
  }
  return code;
}

SimMeter::SimMeter(MeterConfig config) : config_(std::move(config)) {}

void SimMeter::InjectFault(Fault fault) {
  if (fault.kind == FaultKind::kConfirmStatus) {
    confirm_status_ = fault.value;
  } else {
    faults_.push_back(fault);
  }
}

bool SimMeter::Addressed(std::uint8_t a) const {
  return a == config_.primaryAddress || a == 0xFE || (a == 0xFD && selected_);
}

std::optional<SimReply> SimMeter::OnFrame(std::span<const std::uint8_t> frame) {
  if (ValidShortFrame(frame)) return OnShortFrame(frame[1], frame[2]);
  if (ValidLongFrame(frame)) return OnLongFrame(frame);
  return std::nullopt;
}

std::optional<SimReply> SimMeter::OnShortFrame(std::uint8_t c, std::uint8_t a) {
  if ((c & 0x4F) == 0x40) {  // SND_NKE
    if (!Addressed(a)) return std::nullopt;
    last_fcb_.reset();
    // A link reset restarts the readout: answers the master never fetched (a block
    // confirmation, the rest of a read-back) are dropped and REQ_UD2 gets the data telegram.
    pending_.clear();
    if (a == 0xFD) selected_ = false;  // a reset at the secondary address ends the selection
    return Ack();
  }
  if ((c & 0x4F) == 0x4B && Addressed(a)) {  // REQ_UD2
    const bool fcv = (c & 0x10) != 0;
    const bool fcb = (c & 0x20) != 0;
    // Same frame-count bit as last time: the master did not get our answer; send it again.
    if (fcv && last_fcb_ && *last_fcb_ == fcb && !last_telegram_.empty()) {
      return Answer(last_telegram_);
    }
    last_fcb_ = fcb;
    if (pending_.empty()) {
      auto readout = DataTelegrams();
      pending_.insert(pending_.end(), readout.begin(), readout.end());
    }
    last_telegram_ = pending_.front();
    pending_.pop_front();
    return Answer(last_telegram_);
  }
  return std::nullopt;
}

std::optional<SimReply> SimMeter::OnLongFrame(std::span<const std::uint8_t> frame) {
  const std::uint8_t c = frame[4], a = frame[5], ci = frame[6];
  if ((c & 0x4F) != 0x43) return std::nullopt;  // only SND_UD
  const auto data = frame.subspan(7, frame[1] - 3u);
  if (ci == 0x52 && a == 0xFD) return OnSelection(data);
  if (!Addressed(a)) return std::nullopt;
  if (ci == 0x51 && data.size() == 3 && data[0] == 0x01 && data[1] == 0x7A) {
    return OnAddressed(ci, data);
  }
  if (ci == 0x51) return OnUserData(data);
  if (ci == 0x50 || (ci >= 0xB8 && ci <= 0xBF)) return OnAddressed(ci, data);
  return std::nullopt;
}

// A selection names the identification number digit by digit (a nibble 0xF matches any digit),
// the manufacturer (0xFFFF any), the version and the medium (0xFF any). A meter that does not
// match is no longer selected.
std::optional<SimReply> SimMeter::OnSelection(std::span<const std::uint8_t> data) {
  if (data.size() < 8) return std::nullopt;
  std::int64_t id = config_.identNumber;
  bool match = true;
  for (std::size_t i = 0; i < 4; ++i) {
    for (int shift : {0, 4}) {
      const int wanted = (data[i] >> shift) & 0x0F;
      if (wanted != 0xF && wanted != id % 10) match = false;
      id /= 10;
    }
  }
  const std::uint16_t man = static_cast<std::uint16_t>(data[4] | (data[5] << 8));
  match = match && (man == 0xFFFF || man == ManufacturerCode(config_.manufacturer)) &&
          (data[6] == 0xFF || data[6] == config_.version) &&
          (data[7] == 0xFF || data[7] == config_.medium);
  selected_ = match;
  if (selected_) last_fcb_.reset();  // a new selection starts a new exchange with the master
  return selected_ ? Ack() : std::nullopt;
}

// What any standard meter takes without its password: a new primary address (01 7A NN, the
// acknowledge still comes from the old one), an application reset, and a baud-rate switch
// (acknowledged at the old speed; the meter listens at the new one from then on).
std::optional<SimReply> SimMeter::OnAddressed(std::uint8_t ci, std::span<const std::uint8_t> data) {
  static constexpr int kSpeeds[] = {300, 600, 1200, 2400, 4800, 9600, 19200, 38400};
  auto ack = Ack();
  if (ci == 0x51) {
    if (data[2] > 250) return std::nullopt;
    config_.primaryAddress = data[2];
  } else if (ci == 0x50) {
    ++config_.applicationResets;
    pending_.clear();
  } else {
    config_.baud = kSpeeds[ci - 0xB8];
  }
  return ack;
}

std::optional<SimReply> SimMeter::OnUserData(std::span<const std::uint8_t> d) {
  auto starts = [&](std::initializer_list<std::uint8_t> head) {
    return d.size() >= head.size() && std::equal(head.begin(), head.end(), d.begin());
  };
  auto password_at = [&](std::size_t first) {
    std::string pw;
    for (std::size_t i = d.size(); i > first; --i) pw += static_cast<char>(d[i - 1]);
    return pw;
  };
  if (starts({0x07, 0xFD, 0x16}) && d.size() == 11) {
    unlocked_ = password_at(3) == config_.password;
    return unlocked_ ? Ack() : std::nullopt;
  }
  if (starts({0x0F, 0x80}) && d.size() >= 3) return OnBlock(d[2], d.subspan(3));
  // Every other write needs the password first; without it the meter stays silent.
  if (!unlocked_) return std::nullopt;
  if (starts({0x07, 0xFD, 0x96, 0x00}) && d.size() == 12) {
    config_.password = password_at(4);
  } else if (starts({0x0E, 0x6D}) && d.size() == 8) {
    config_.dateTime = TwoDigits(BcdByte(d[7])) + TwoDigits(BcdByte(d[6])) +
                       TwoDigits(BcdByte(d[5])) + TwoDigits(BcdByte(d[4])) +
                       TwoDigits(BcdByte(d[3])) + TwoDigits(BcdByte(d[2]));
  } else if (starts({0x04, 0x6D}) && d.size() == 6) {
    const int minute = d[2] & 0x3F, hour = d[3] & 0x1F, day = d[4] & 0x1F, month = d[5] & 0x0F;
    const int year = ((d[4] >> 5) & 0x07) | ((d[5] >> 1) & 0x78);
    config_.dateTime = TwoDigits(year) + TwoDigits(month) + TwoDigits(day) + TwoDigits(hour) +
                       TwoDigits(minute) + "00";
  } else if (starts({0x01, 0xFF, 0x6A}) && d.size() == 4) {
    lock_modes_.push_back(d[3]);
  }
  return Ack();
}

// Tariff image blocks are acknowledged at once; whether the meter took them is told by the
// status byte of the next RSP_UD: 5 without the password, 7 when a block is not where the image
// layout puts it (a first block of other than 197 bytes, a second block of other than 107 or
// without a first) or the image CRC is wrong. A refused block leaves the stored table alone.
std::optional<SimReply> SimMeter::OnBlock(std::uint8_t type, std::span<const std::uint8_t> data) {
  std::uint8_t status = unlocked_ ? 0 : 5;
  if (type == 0x1B) {
    image_.assign(data.begin(), data.end());
    if (data.size() != kFirstBlockSize) {
      image_.clear();
      if (status == 0) status = kStatusImageRefused;
    }
  } else if (type == 0x1C) {
    const bool in_place = image_.size() == kFirstBlockSize && data.size() == kSecondBlockSize;
    image_.insert(image_.end(), data.begin(), data.end());
    if (!in_place) {
      image_.clear();
      if (status == 0) status = kStatusImageRefused;
    } else if (status == 0) {
      const std::uint16_t crc = ImageCrc(std::span<const std::uint8_t>(image_).first(302));
      const bool ok = image_[302] == (crc & 0xFF) && image_[303] == (crc >> 8);
      if (ok) {
        // The table ends at the 0x00 before the 0xFF padding (or fills all 302 bytes).
        std::size_t end = 302;
        while (end > 0 && image_[end - 1] == 0xFF) --end;
        if (end < 302 && end > 0 && image_[end - 1] == 0x00) --end;
        config_.table.assign(image_.begin(), image_.begin() + static_cast<long>(end));
      } else {
        status = kStatusImageRefused;
      }
    }
  } else if (type == 0x1D) {
    QueueReadBack();
    return Ack();
  } else {
    return std::nullopt;
  }
  if (confirm_status_) {
    status = static_cast<std::uint8_t>(*confirm_status_);
    confirm_status_.reset();
  }
  pending_.push_back(BlockTelegram(0x0F, type, status, {}));
  return Ack();
}

// The meter sends its table back as the table, one 0x00, and the image CRC.
void SimMeter::QueueReadBack() {
  Bytes body = config_.table;
  body.push_back(0x00);
  const auto image = TariffImage(config_.table);
  body.insert(body.end(), image.end() - 2, image.end());
  const std::size_t chunk = static_cast<std::size_t>(std::max(1, config_.readChunk));
  for (std::size_t at = 0; at < body.size(); at += chunk) {
    const std::size_t n = std::min(chunk, body.size() - at);
    const bool last = at + n >= body.size();
    pending_.push_back(BlockTelegram(last ? 0x0F : 0x1F, 0x1D, config_.readBackStatus,
                                     std::span<const std::uint8_t>(body).subspan(at, n)));
  }
}

std::vector<std::uint8_t> SimMeter::BlockTelegram(std::uint8_t dif, std::uint8_t type,
                                                  std::uint8_t status,
                                                  std::span<const std::uint8_t> data) {
  Bytes records = {dif, 0x80, type, status};
  records.insert(records.end(), data.begin(), data.end());
  return Telegram(records);
}

std::vector<std::uint8_t> SimMeter::DataTelegram() {
  Bytes r;
  for (const Bytes& g : DataRecordGroups()) r.insert(r.end(), g.begin(), g.end());
  return Telegram(r);
}

std::vector<std::vector<std::uint8_t>> SimMeter::DataTelegrams() {
  if (config_.recordedTelegram.size() > 6) {
    Bytes t = config_.recordedTelegram;
    t[5] = config_.primaryAddress;
    FixChecksum(t);
    return {t};
  }
  const auto groups = DataRecordGroups();
  const std::size_t n = static_cast<std::size_t>(std::clamp(config_.telegrams, 1, 4));
  std::vector<Bytes> out;
  for (std::size_t t = 0; t < n; ++t) {
    Bytes r;
    const std::size_t last = t + 1 == n ? groups.size() : t + 1;
    for (std::size_t g = t; g < last; ++g) r.insert(r.end(), groups[g].begin(), groups[g].end());
    if (t + 1 < n) r.push_back(0x1F);
    out.push_back(Telegram(r));
  }
  return out;
}

std::vector<std::vector<std::uint8_t>> SimMeter::DataRecordGroups() const {
  const MeterConfig& c = config_;
  std::vector<Bytes> groups;
  Bytes r;
  r.insert(r.end(), {0x04, 0x04});
  PutInt(r, Scaled(c.energyTotalKwh, 2), 4);
  static constexpr std::uint8_t kTariffDife[4][2] = {{0x10, 0}, {0x20, 0}, {0x30, 0}, {0x80, 0x10}};
  for (std::size_t t = 0; t < 4; ++t) {
    r.push_back(0x84);
    r.push_back(kTariffDife[t][0]);
    if (kTariffDife[t][1]) r.push_back(kTariffDife[t][1]);
    r.push_back(c.tariffStatusVife ? 0x84 : 0x04);
    if (c.tariffStatusVife) r.push_back(0x00);
    PutInt(r, Scaled(c.energyTariffKwh[t], 2), 4);
  }
  groups.push_back(std::exchange(r, {}));
  r.insert(r.end(), {0x04, 0xFF, 0x12});
  PutInt(r, c.transformerRatio, 4);
  r.insert(r.end(), {0x01, 0xFF, 0x13});
  PutInt(r, c.activeTariff, 1);
  r.insert(r.end(), {0x02, 0xFF, 0x18});
  PutInt(r, c.powerFailCount, 2);
  r.insert(r.end(), {static_cast<std::uint8_t>(c.errorFlags8Bytes ? 0x07 : 0x04), 0xFD, 0x17});
  PutInt(r, c.errorFlags, 4);
  if (c.errorFlags8Bytes) PutInt(r, c.errorFlagsHigh, 4);
  groups.push_back(std::exchange(r, {}));
  PutPower(r, c.activePowerW, 0, true);
  PutPower(r, c.reactivePowerW, 1, true);
  PutPower(r, c.apparentPowerW, 2, true);
  PutPhased(r, c.voltageV, 0x02, 2, 0xFD, 0x48, 1);
  PutPhased(r, c.currentA, 0x04, 4, 0xFD, 0x5A, 2);
  PutPhased(r, c.powerFactor, 0x02, 2, 0xFF, 0x60, 3);
  groups.push_back(std::exchange(r, {}));
  r.insert(r.end(), {0x0E, 0x6D});
  PutBcd(r, std::stoll(c.dateTime.empty() ? "0" : c.dateTime), 6);
  for (int s = 0; s < 5; ++s) {
    if (c.relays[static_cast<std::size_t>(s)] < 0) continue;
    PutSubunitDif(r, 0x01, s);
    r.insert(r.end(),
             {0xFD, 0x1A, static_cast<std::uint8_t>(c.relays[static_cast<std::size_t>(s)])});
  }
  if (!c.firmware.empty()) {
    r.insert(r.end(), {0x0D, 0xFD, 0x0E, static_cast<std::uint8_t>(c.firmware.size())});
    for (auto it = c.firmware.rbegin(); it != c.firmware.rend(); ++it) {
      r.push_back(static_cast<std::uint8_t>(*it));
    }
  }
  r.insert(r.end(), {0x0C, 0xFF, 0x6C});
  PutBcd(r, DurationDigits(c.runningSeconds), 4);
  groups.push_back(std::move(r));
  return groups;
}

std::vector<std::uint8_t> SimMeter::Telegram(const std::vector<std::uint8_t>& records) {
  Bytes body = {0x08, config_.primaryAddress, 0x72};
  PutBcd(body, config_.identNumber, 4);
  PutInt(body, ManufacturerCode(config_.manufacturer), 2);
  body.insert(body.end(), {config_.version, config_.medium, access_++, config_.status, 0, 0});
  body.insert(body.end(), records.begin(), records.end());
  if (body.size() > kMaxUserData + 3) {
    throw std::length_error("simulated telegram exceeds one long frame");
  }
  const auto l = static_cast<std::uint8_t>(body.size());
  Bytes t(body.size() + 6, 0);
  t[0] = t[3] = 0x68;
  t[1] = t[2] = l;
  std::copy(body.begin(), body.end(), t.begin() + 4);
  t.back() = 0x16;
  FixChecksum(t);
  return t;
}

std::optional<SimReply> SimMeter::Ack() {
  return Answer({kAck});
}

std::optional<SimReply> SimMeter::Answer(std::vector<std::uint8_t> bytes) {
  SimReply reply{std::move(bytes), config_.responseDelayMs, 0};
  if (faults_.empty()) return reply;
  const Fault f = faults_.front();
  faults_.pop_front();
  Bytes& b = reply.bytes;
  const bool long_frame = b.size() > 6 && b[0] == 0x68;
  switch (f.kind) {
    case FaultKind::kNone:
      break;
    case FaultKind::kSilence:
      return std::nullopt;
    case FaultKind::kDelay:
      reply.delayMs = f.value;
      break;
    case FaultKind::kTrickle:
      reply.gapMs = f.value > 0 ? f.value : 60;
      while (b.size() * static_cast<std::size_t>(reply.gapMs) < 3000) b.push_back(0x00);
      break;
    case FaultKind::kBadChecksum:
      if (long_frame) b[b[1] + 4u] ^= 0xFF;
      break;
    case FaultKind::kBadStart:
      b[0] = long_frame ? 0x69 : 0x10;
      break;
    case FaultKind::kBadStop:
      b.back() = long_frame ? 0x17 : b.back();
      break;
    case FaultKind::kBadControl:
      if (long_frame) b[4] = 0x18, FixChecksum(b);
      break;
    case FaultKind::kBadCi:
      if (long_frame) b[6] = 0x73, FixChecksum(b);
      break;
    case FaultKind::kLongLength:
      if (long_frame) b[1] = b[2] = static_cast<std::uint8_t>(b[1] + 5);
      break;
    case FaultKind::kBadBlockType: {
      auto marker = std::find(b.begin() + 19, b.end(), 0x80);
      if (long_frame && marker != b.end() && marker + 1 != b.end()) {
        *(marker + 1) = static_cast<std::uint8_t>(*(marker + 1) + 1);
        FixChecksum(b);
      }
      break;
    }
    case FaultKind::kNack:
      b = {0x15};
      break;
    case FaultKind::kGarbage:
      b = {0x11, 0x22, 0x33};
      break;
    case FaultKind::kExtraBytes:
      b.insert(b.end(), static_cast<std::size_t>(f.value > 0 ? f.value : 2), 0x00);
      break;
    case FaultKind::kConfirmStatus:
      break;
  }
  return reply;
}

std::optional<std::vector<std::uint8_t>> FrameAssembler::Feed(std::uint8_t b) {
  buffer_.push_back(b);
  for (;;) {
    if (buffer_.empty()) return std::nullopt;
    const std::uint8_t start = buffer_[0];
    if (start == 0x10) {
      if (buffer_.size() < 5) return std::nullopt;
      if (ValidShortFrame(std::span(buffer_).first(5))) {
        std::vector<std::uint8_t> frame(buffer_.begin(), buffer_.begin() + 5);
        buffer_.erase(buffer_.begin(), buffer_.begin() + 5);
        return frame;
      }
    } else if (start == 0x68) {
      if (buffer_.size() < 4) return std::nullopt;
      if (buffer_[3] == 0x68 && buffer_[1] == buffer_[2]) {
        const std::size_t n = buffer_[1] + 6u;
        if (buffer_.size() < n) return std::nullopt;
        if (ValidLongFrame(std::span(buffer_).first(n))) {
          std::vector<std::uint8_t> frame(buffer_.begin(), buffer_.begin() + static_cast<long>(n));
          buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<long>(n));
          return frame;
        }
      }
    }
    buffer_.erase(buffer_.begin());  // not the start of a valid frame: resynchronise
  }
}

// M-Bus meters answer by drawing more current for a space; when several answer at once the
// spaces of all of them reach the master, and their answers, never quite in step, overlap about
// a bit apart. The master gets the AND of the answers, the later one a bit behind: a damaged
// reply, not one of them (two E5 acknowledges give C1).
std::vector<SimMeter*> ListeningAt(const std::vector<SimMeter*>& meters, int baud) {
  std::vector<SimMeter*> out;
  for (SimMeter* m : meters) {
    if (m->config().baud == 0 || m->config().baud == baud) out.push_back(m);
  }
  return out;
}

std::optional<SimReply> AnswerOnBus(const std::vector<SimMeter*>& meters,
                                    std::span<const std::uint8_t> frame) {
  std::optional<SimReply> heard;
  for (SimMeter* m : meters) {
    if (m->config().mute) {
      m->OnFrame(frame);
      continue;
    }
    auto reply = m->OnFrame(frame);
    if (!reply) continue;
    if (!heard) {
      heard = std::move(reply);
      continue;
    }
    std::vector<std::uint8_t>& line = heard->bytes;
    line.resize(std::max(line.size(), reply->bytes.size()), 0xFF);
    for (std::size_t i = 0; i < reply->bytes.size(); ++i) {
      const std::uint8_t b = reply->bytes[i];
      line[i] &= static_cast<std::uint8_t>((b << 1) | (b >> 7));
    }
    heard->delayMs = std::min(heard->delayMs, reply->delayMs);
  }
  return heard;
}

}  // namespace velmar::sim
