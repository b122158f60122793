#include <algorithm>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "decode_json.hpp"
#include "input_checks.hpp"
#include "records_json.hpp"
#include "velmar/hex.hpp"
#include "velmar/records.hpp"
#include "velmar/wmbus.hpp"

namespace velmar::tools {
namespace {

// A telegram is at most 261 bytes: 522 hex digits, or 783 characters with a blank after each
// byte. Lines up to this length are taken; a longer one is no telegram.
constexpr std::size_t kMaxLine = 4096;
constexpr int kMaxErrors = 100;  // telegrams that fail before decoding gives up

enum class LineRead { kLine, kTooLong, kEnd };

// One line of standard input without its newline, at most kMaxLine characters kept; a longer
// line is read no further, so input without newlines cannot grow the process.
LineRead NextLine(std::string& line) {
  line.clear();
  for (int c; (c = std::getchar()) != EOF;) {
    if (c == '\n') return LineRead::kLine;
    if (line.size() == kMaxLine) return LineRead::kTooLong;
    line.push_back(static_cast<char>(c));
  }
  return line.empty() ? LineRead::kEnd : LineRead::kLine;
}

// Which decoder reads the telegrams.
enum class Decoder { kControl, kRecords, kWireless };

// Decodes one telegram's text; false (with the reason on stderr) when it is not one: the
// control's own decoder, the standard record decoder, or a wireless telegram.
bool DecodeOne(const std::string& text, int n, std::uint8_t mode, Decoder decoder,
               const MeterKey* key) {
  const auto bytes = ParseHex(text);
  if (!bytes) {
    std::cerr << "Error: telegram " << n << " is not hexadecimal (\"" << Shown(text)
              << "\"): give pairs of hex digits, blanks allowed\n";
    return false;
  }
  try {
    if (decoder == Decoder::kWireless) {
      WirelessTelegram telegram;
      DecodeWirelessTelegram(*bytes, telegram, key);
      std::cout << ToJsonLine(WirelessJson(telegram)) << std::endl;
      return true;
    }
    if (decoder == Decoder::kRecords) {
      DecodedTelegram telegram;
      DecodeTelegram(*bytes, telegram);
      std::cout << ToJsonLine(RecordsJson(telegram)) << std::endl;
      return true;
    }
    std::cout << ToJsonLine(DecodeReply(*bytes, mode)) << std::endl;
    return true;
  } catch (const std::exception& e) {
    std::cerr << "Error: telegram " << n << " could not be decoded: " << e.what() << '\n';
    return false;
  }
}

// Bytes typed one per argument (68 03 03 68 ...) are one telegram, not many.
std::vector<std::string> Telegrams(const std::vector<std::string>& args) {
  const bool bytewise = args.size() > 1 && std::all_of(args.begin(), args.end(), [](const auto& a) {
                          return a.size() == 2 && ParseHex(a).has_value();
                        });
  if (!bytewise) return args;
  std::string joined;
  for (const std::string& a : args) joined += a;
  return {joined};
}

}  // namespace

Runner AddDecode(CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "decode",
      "Decode received RSP_UD telegrams (hex) offline and print one JSON line each. Each HEX "
      "argument is one telegram, blanks inside it allowed (quote it), except that arguments of "
      "one byte each (68 0F 0F 68 ...) together are one telegram; without arguments each line "
      "of standard input is one, decoded as it arrives.");
  auto records = std::make_shared<bool>(false);
  cmd->add_flag("--records", *records,
                "Decode with the standard EN 13757-3 record decoder (any meter): header and "
                "record list with storage, tariff, subunit, function, quantity, unit, value");
  auto wireless = std::make_shared<bool>(false);
  cmd->add_flag("--wireless", *wireless,
                "Wireless M-Bus telegrams (EN 13757-4) from the L field, with block CRCs (frame "
                "format A or B, checked and removed) or without: link layer, transport header "
                "and records; enciphered data is reported, not read")
      ->excludes("--records");
  auto key_text = std::make_shared<std::string>();
  cmd->add_option("--key", *key_text,
                  "The meter's AES-128 key, 32 hex digits, for telegrams enciphered in security "
                  "mode 5 or 7 (with --wireless)")
      ->needs("--wireless")
      ->check([](const std::string& text) -> std::string {
        const auto bytes = ParseHex(text);
        return bytes && bytes->size() == 16 ? std::string()
                                            : "give the meter's AES key as 32 hex digits";
      });
  auto mode = std::make_shared<int>(0);
  auto hex = std::make_shared<std::vector<std::string>>();
  cmd->add_option("--mode", *mode, "decodeMode: the expected manufacturer block type, 250 = any")
      ->check(CLI::Range(0, 255));
  cmd->footer(
      "Texts that are not UTF-8 come out with U+FFFD for each bad byte.\n"
      "Exit status: 0 every telegram decoded (whatever its result); 1 a telegram was not\n"
      "hexadecimal or could not be decoded (reported, the others still decoded), or a line\n"
      "was longer than 4096 characters or 100 telegrams failed (decoding stops there); 2 usage\n"
      "error.");
  cmd->add_option("HEX", *hex, "Telegrams; without any, one per line of standard input");
  return [cmd, mode, hex, records, wireless, key_text]() -> int {
    if (!cmd->parsed()) return -1;
    const auto m = static_cast<std::uint8_t>(*mode);
    const Decoder decoder = *wireless  ? Decoder::kWireless
                            : *records ? Decoder::kRecords
                                       : Decoder::kControl;
    MeterKey key{};
    const MeterKey* with = nullptr;
    if (!key_text->empty()) {
      const auto bytes = *ParseHex(*key_text);
      std::copy(bytes.begin(), bytes.end(), key.begin());
      with = &key;
    }
    int status = kExitOk;
    int n = 0;
    for (const std::string& text : Telegrams(*hex)) {
      if (!DecodeOne(text, ++n, m, decoder, with)) status = kExitError;
    }
    if (!hex->empty()) return status;
    std::string line;
    int lines = 0, errors = 0;
    for (LineRead r; (r = NextLine(line)) != LineRead::kEnd;) {
      ++lines;
      if (r == LineRead::kTooLong) {
        std::cerr << "Error: line " << lines << " is longer than " << kMaxLine
                  << " characters; a telegram is at most 522 hex digits. Stopped there.\n";
        return kExitError;
      }
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      if (DecodeOne(line, ++n, m, decoder, with)) continue;
      status = kExitError;
      // A stream of garbage gets a bounded report, not one line of error per line of input.
      if (++errors == kMaxErrors) {
        std::cerr << "Error: " << kMaxErrors << " telegrams could not be decoded (the last at line "
                  << lines << "); stopped there: is this input telegrams in hex?\n";
        return kExitError;
      }
    }
    return status;
  };
}

}  // namespace velmar::tools
