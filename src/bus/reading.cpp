#include "velmar/bus.hpp"

namespace velmar {

Reading::Reading(const Reading& other)
    : result(other.result),
      linkResult(other.linkResult),
      telegrams(other.telegrams),
      attempts(other.attempts) {
  // The records refer into the telegrams: a copy decodes its own.
  DecodeRecords();
}

Reading& Reading::operator=(const Reading& other) {
  if (this != &other) {
    Reading copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void Reading::DecodeRecords() {
  records.clear();
  header = {};
  recordError.clear();
  moreRecords = false;
  DecodedTelegram decoded;
  for (std::size_t i = 0; i < telegrams.size(); ++i) {
    if (DecodeTelegram(telegrams[i].bytes, decoded) != 0) continue;
    if (i == 0) header = decoded.header;
    records.insert(records.end(), decoded.records.begin(), decoded.records.end());
    if (recordError.empty()) recordError = decoded.error;
    moreRecords = decoded.moreRecords;
  }
}

std::vector<std::vector<std::uint8_t>> Reading::TelegramBytes() const {
  std::vector<std::vector<std::uint8_t>> out;
  out.reserve(telegrams.size());
  for (const auto& t : telegrams) out.push_back(t.bytes);
  return out;
}

}  // namespace velmar
