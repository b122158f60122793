#include "rtl433_lines.hpp"

#include <nlohmann/json.hpp>

#include "velmar/hex.hpp"
#include "velmar/records.hpp"

namespace velmar::tools {
namespace {

using Json = nlohmann::json;

constexpr std::size_t kLinkLayer = 10;  // L, C, M (2), A (4), version, type

// A number rtl_433 prints as a number or as hex text ("0x44").
std::optional<long> NumberOf(const Json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end()) return std::nullopt;
  if (it->is_number_integer()) return it->get<long>();
  if (!it->is_string()) return std::nullopt;
  const std::string text = it->get<std::string>();
  try {
    std::size_t used = 0;
    const long v = std::stol(text, &used, 0);
    if (used == text.size()) return v;
  } catch (const std::exception&) {
  }
  return std::nullopt;
}

// The identification number's eight digits, as rtl_433 prints them (a number or text).
std::optional<std::uint32_t> IdentOf(const Json& j) {
  const auto it = j.find("id");
  if (it == j.end()) return std::nullopt;
  std::string digits = it->is_number_unsigned() || it->is_number_integer()
                           ? std::to_string(it->get<std::int64_t>())
                           : (it->is_string() ? it->get<std::string>() : std::string());
  if (digits.empty() || digits.size() > 8 ||
      digits.find_first_not_of("0123456789") != std::string::npos) {
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(std::stoul(digits));
}

// The link layer rtl_433 took apart, put back in front of "data" from the CI field on.
std::optional<std::vector<std::uint8_t>> WithLinkLayer(const Json& j,
                                                       const std::vector<std::uint8_t>& rest) {
  const auto c = NumberOf(j, "C");
  const auto version = NumberOf(j, "version");
  const auto type = NumberOf(j, "type");
  const auto ident = IdentOf(j);
  const auto maker = j.contains("M") && j["M"].is_string()
                         ? ManufacturerCodeOf(j["M"].get<std::string>())
                         : std::nullopt;
  if (!c || !version || !type || !ident || !maker || rest.size() + kLinkLayer - 1 > 255) {
    return std::nullopt;
  }
  const std::uint16_t code = maker.value_or(0);
  std::vector<std::uint8_t> t = {
      static_cast<std::uint8_t>(rest.size() + kLinkLayer - 1), static_cast<std::uint8_t>(*c),
      static_cast<std::uint8_t>(code & 0xFF), static_cast<std::uint8_t>(code >> 8)};
  // The identification number in BCD, least significant pair of digits first.
  std::uint32_t n = *ident;
  for (int i = 0; i < 4; ++i, n /= 100)
    t.push_back(static_cast<std::uint8_t>((n % 10) | ((n / 10 % 10) << 4)));
  t.push_back(static_cast<std::uint8_t>(*version));
  t.push_back(static_cast<std::uint8_t>(*type));
  t.insert(t.end(), rest.begin(), rest.end());
  return t;
}

std::optional<RadioMode> ModeOf(const Json& j) {
  if (!j.contains("mode") || !j["mode"].is_string()) return std::nullopt;
  return RadioModeByName(j["mode"].get<std::string>() + "1");
}

}  // namespace

void Rtl433Lines::Line(std::string_view line, std::uint64_t number,
                       std::vector<HeardTelegram>& heard) {
  const std::string where = "line " + std::to_string(number);
  const Json j = Json::parse(line, nullptr, false);
  if (j.is_discarded() || !j.is_object()) {
    if (line.find_first_not_of(" \t") != std::string_view::npos) Skip(where + " is not JSON");
    return;
  }
  // Any key may hold any type in a line that is not rtl_433's: text is taken only as text.
  const auto named = j.find("model");
  const std::string model =
      named != j.end() && named->is_string() ? named->get<std::string>() : std::string();
  if (model.find("MBus") == std::string::npos && model.find("M-Bus") == std::string::npos) {
    Skip(where + " is from rtl_433's decoder of " + (model.empty() ? "no model" : model));
    return;
  }
  const auto data = j.contains("data") && j["data"].is_string()
                        ? ParseHex(j["data"].get<std::string>())
                        : std::nullopt;
  if (!data || data->empty()) {
    Skip(where + " has no telegram in \"data\"");
    return;
  }
  HeardTelegram t;
  t.mode = ModeOf(j);
  // From L: its first byte counts the rest, and the C field rtl_433 names follows it.
  const auto c = NumberOf(j, "C");
  if ((*data)[0] == data->size() - 1 && data->size() >= kLinkLayer && (!c || (*data)[1] == *c)) {
    t.bytes = *data;
  } else if (auto whole = WithLinkLayer(j, *data)) {
    t.bytes = std::move(*whole);
  } else {
    Skip(where +
         ": \"data\" is not a telegram from its L field and the link layer's fields "
         "(M, id, version, type, C) are not all there");
    return;
  }
  heard.push_back(std::move(t));
}

std::vector<std::uint8_t> Rtl433Lines::Indication(std::span<const std::uint8_t> telegram,
                                                  int rssi) const {
  Json j = Json::object();
  if (telegram.size() >= kLinkLayer) {
    const std::uint16_t maker = static_cast<std::uint16_t>(telegram[2] | telegram[3] << 8);
    std::uint32_t ident = 0;
    for (int i = 7; i >= 4; --i)
      ident = ident * 100 + (telegram[i] >> 4) * 10 + (telegram[i] & 0x0F);
    std::string letters;
    for (int shift = 10; shift >= 0; shift -= 5)
      letters.push_back(static_cast<char>('@' + ((maker >> shift) & 0x1F)));
    j = {{"model", "Wireless-MBus"}, {"mode", "T"},         {"M", letters},    {"id", ident},
         {"version", telegram[8]},   {"type", telegram[9]}, {"C", telegram[1]}};
  }
  const bool older = (rssi & 1) != 0 && telegram.size() > kLinkLayer;
  j["data"] = HexText(older ? telegram.subspan(kLinkLayer) : telegram);
  j["mic"] = "CRC";
  const std::string text = j.dump() + "\n";
  return {text.begin(), text.end()};
}

}  // namespace velmar::tools
