#include "velmar/bus.hpp"

namespace velmar {

namespace {

// `part` of one of `from`'s telegrams, as the same bytes of the matching telegram of `to`.
std::span<const std::uint8_t> Rebased(std::span<const std::uint8_t> part,
                                      const std::vector<ReceivedTelegram>& from,
                                      const std::vector<ReceivedTelegram>& to) {
  if (part.empty()) return {};
  for (std::size_t i = 0; i < from.size() && i < to.size(); ++i) {
    const std::uint8_t* base = from[i].bytes.data();
    if (part.data() >= base && part.data() + part.size() <= base + from[i].bytes.size()) {
      return {to[i].bytes.data() + (part.data() - base), part.size()};
    }
  }
  return {};
}

}  // namespace

Reading::Reading(const Reading& other)
    : result(other.result),
      linkResult(other.linkResult),
      telegrams(other.telegrams),
      records(other.records),
      header(other.header),
      recordError(other.recordError),
      manufacturerData(Rebased(other.manufacturerData, other.telegrams, telegrams)),
      moreRecords(other.moreRecords),
      attempts(other.attempts),
      decodes(other.decodes) {
  // The records' data fields point into the telegrams: the copy's point into its own copy of
  // them, at the same places. Nothing is decoded again.
  for (DataRecord& r : records) {
    r.bytes = Rebased(r.bytes, other.telegrams, telegrams);
    r.plainUnit = Rebased(r.plainUnit, other.telegrams, telegrams);
  }
}

Reading& Reading::operator=(const Reading& other) {
  if (this != &other) {
    Reading copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void Reading::AddTelegram(ReceivedTelegram telegram) {
  // Moving a telegram keeps its bytes where they are, so the records already decoded still
  // point into them when the list grows.
  telegrams.push_back(std::move(telegram));
  DecodedTelegram decoded;
  ++decodes;
  moreRecords = false;
  if (DecodeTelegram(telegrams.back().bytes, decoded) != 0) return;
  if (telegrams.size() == 1) header = decoded.header;
  records.insert(records.end(), decoded.records.begin(), decoded.records.end());
  if (recordError.empty()) recordError = decoded.error;
  if (!decoded.manufacturerData.empty()) manufacturerData = decoded.manufacturerData;
  moreRecords = decoded.moreRecords;
}

std::vector<std::vector<std::uint8_t>> Reading::TelegramBytes() const {
  std::vector<std::vector<std::uint8_t>> out;
  out.reserve(telegrams.size());
  for (const auto& t : telegrams) out.push_back(t.bytes);
  return out;
}

}  // namespace velmar
