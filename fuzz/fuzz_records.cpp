// libFuzzer target over the standard record decoder: any bytes, framed as a telegram or not.
// Every record, text and the manufacturer data must lie inside the input, a malformed record
// must end the list with an error, and the JSON of the result must be valid.
#include <cstdint>
#include <vector>

#include "decode_json.hpp"
#include "records_json.hpp"
#include "velmar/records.hpp"

namespace {

bool Inside(std::span<const std::uint8_t> part, const std::uint8_t* data, std::size_t size) {
  return part.empty() || (part.data() >= data && part.data() + part.size() <= data + size);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Half the inputs get a valid frame around them, so the fuzzer reaches the records quickly.
  std::vector<std::uint8_t> telegram(data, data + size);
  if (size > 0 && (data[0] & 1) && size <= 252) {
    telegram = {0x68,
                static_cast<std::uint8_t>(size + 3),
                static_cast<std::uint8_t>(size + 3),
                0x68,
                0x08,
                0x01,
                0x72};
    telegram.insert(telegram.end(), data, data + size);
    std::uint8_t sum = 0;
    for (std::size_t i = 4; i < telegram.size(); ++i)
      sum = static_cast<std::uint8_t>(sum + telegram[i]);
    telegram.push_back(sum);
    telegram.push_back(0x16);
  }
  velmar::DecodedTelegram out;
  velmar::DecodeTelegram(telegram, out);
  const std::uint8_t* base = telegram.data();
  for (const velmar::DataRecord& r : out.records) {
    if (!Inside(r.bytes, base, telegram.size()) || !Inside(r.plainUnit, base, telegram.size())) {
      __builtin_trap();
    }
    if (r.offset >= telegram.size()) __builtin_trap();
  }
  if (!Inside(out.manufacturerData, base, telegram.size())) __builtin_trap();
  const std::string line = velmar::tools::ToJsonLine(velmar::tools::RecordsJson(out));
  if (!nlohmann::json::accept(line)) __builtin_trap();
  return 0;
}
