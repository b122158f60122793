// libFuzzer target over meter profile files: each input is the text of a profile a user wrote.
// Whatever it holds, reading it ends with a profile or one ArgumentError that names the file and
// a line; a profile read is applied to a telegram whose maker bytes are short, and names only
// fields and flags it declares, each flag only when its byte is there.
#include <cstdint>
#include <string_view>

#include "profiles.hpp"
#include "velmar/error.hpp"
#include "velmar/hex.hpp"

namespace {

// A wired water meter's answer: a volume, a date at storage 1, an error-flag record, then two
// maker bytes.
constexpr std::string_view kTelegram =
    "68 20 20 68 08 05 72 78 56 34 12 2D 2C 1B 16 01 00 00 00 "
    "04 13 E8 03 00 00 42 6C 01 0C 01 FD 17 05 0F 04 80 88 16";

void Check(const velmar::tools::Profile& p, const velmar::DecodedTelegram& t) {
  const velmar::tools::ProfileReading r =
      velmar::tools::ApplyProfile(p, t.header, t.records, t.manufacturerData);
  if (r.fields.size() > p.fields.size() || r.flags.size() > p.flags.size()) __builtin_trap();
  for (const velmar::tools::FlagValue& f : r.flags) {
    if (f.flag->from == velmar::tools::FlagSource::kMaker &&
        static_cast<std::size_t>(f.flag->byte) >= t.manufacturerData.size()) {
      __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const auto bytes = *velmar::ParseHex(kTelegram);
  velmar::DecodedTelegram t;
  velmar::DecodeTelegram(bytes, t);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  try {
    Check(velmar::tools::ParseProfile(text, "p.toml"), t);
  } catch (const velmar::ArgumentError& e) {
    if (std::string_view(e.what()).substr(0, 7) != "p.toml:") __builtin_trap();
  }
  return 0;
}
