#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "commands.hpp"
#include "decode_json.hpp"
#include "input_checks.hpp"
#include "keys_file.hpp"
#include "profiles.hpp"
#include "radio_result.hpp"
#include "records_json.hpp"
#include "velmar/error.hpp"
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

// What every telegram of one run is decoded with. Wireless telegrams share one decoder, so a
// compact frame is read with the format an earlier full frame of its meter showed.
struct DecodeRun {
  Decoder decoder = Decoder::kControl;
  std::uint8_t mode = 0;
  const MeterKey* key = nullptr;  // --key: for whatever meter sent the telegram
  FrameCrcs crcs = FrameCrcs::kPresent;
  WirelessDecoder wireless;
  WirelessTelegram telegram;
  ProfileSet profiles;  // the meter profiles in use, loaded once for the run
};

// What became of one telegram's text.
enum class Outcome {
  kDecoded,  // decoded and printed
  kNotRead,  // a wireless telegram printed with the result that says why it was not read
  kFailed,   // not a telegram (not hex, or the decoder refused it): the reason on stderr
};

// Decodes one telegram's text: the control's own decoder, the standard record decoder, or a
// wireless telegram.
Outcome DecodeOne(const std::string& text, int n, DecodeRun& run) {
  const std::uint8_t mode = run.mode;
  const Decoder decoder = run.decoder;
  const auto bytes = ParseHex(text);
  if (!bytes) {
    std::cerr << "Error: telegram " << n << " is not hexadecimal (\"" << Shown(text)
              << "\"): give pairs of hex digits, blanks allowed\n";
    return Outcome::kFailed;
  }
  try {
    if (decoder == Decoder::kWireless) {
      run.wireless.Decode(*bytes, run.telegram, run.key, run.crcs);
      auto j = WirelessJson(run.telegram);
      const DecodedTelegram& d = run.telegram.decoded;
      if (run.telegram.error.empty()) {
        AddProfileJson(ReadByProfile(run.profiles, d.header, d.records, d.manufacturerData), j);
      }
      std::cout << ToJsonLine(j) << std::endl;
      return RadioResult(run.telegram) == 0 ? Outcome::kDecoded : Outcome::kNotRead;
    }
    if (decoder == Decoder::kRecords) {
      DecodedTelegram telegram;
      DecodeTelegram(*bytes, telegram);
      auto j = RecordsJson(telegram);
      if (telegram.result == 0) {
        AddProfileJson(ReadByProfile(run.profiles, telegram.header, telegram.records,
                                     telegram.manufacturerData),
                       j);
      }
      std::cout << ToJsonLine(j) << std::endl;
      return Outcome::kDecoded;
    }
    std::cout << ToJsonLine(DecodeReply(*bytes, mode)) << std::endl;
    return Outcome::kDecoded;
  } catch (const std::exception& e) {
    std::cerr << "Error: telegram " << n << " could not be decoded: " << e.what() << '\n';
    return Outcome::kFailed;
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
                  "mode 5 or 7 or by the extended link layer (with --wireless), whatever meter "
                  "sent them")
      ->needs("--wireless")
      ->check([](const std::string& text) -> std::string {
        return ParseMeterKey(text) ? std::string() : "give the meter's AES key as 32 hex digits";
      });
  auto keys_file = std::make_shared<std::string>();
  cmd->add_option("--keys", *keys_file,
                  "TOML file of the meters' keys, as velmar listen takes it: [[meter]] entries "
                  "with id = \"12345678\" and key = \"32 hex digits\" (with --wireless)")
      ->needs("--wireless")
      ->excludes("--key");
  auto no_crc = std::make_shared<bool>(false);
  cmd->add_flag("--no-crc", *no_crc,
                "The wireless telegrams come without their block CRCs (as a stick delivers "
                "them); without this flag each must carry them (frame format A or B)")
      ->needs("--wireless");
  auto mode = std::make_shared<int>(0);
  auto hex = std::make_shared<std::vector<std::string>>();
  cmd->add_option("--mode", *mode, "decodeMode: the expected manufacturer block type, 250 = any")
      ->check(CLI::Range(0, 255));
  cmd->footer(
      "A record's text is ISO/IEC 8859-1 (EN 13757-3) and comes out as UTF-8; with --mode,\n"
      "the control's texts that are not UTF-8 come out with U+FFFD for each bad byte.\n"
      "Exit status: 0 every telegram decoded (whatever its result; with --wireless, every\n"
      "one read to its records); 1 a telegram was not hexadecimal or could not be decoded\n"
      "(reported, the others still decoded), a wireless one was not read (its result says\n"
      "why), or a line was longer than 4096 characters or 100 telegrams failed (decoding\n"
      "stops there); 2 usage error or a bad keys file.");
  cmd->add_option("HEX", *hex, "Telegrams; without any, one per line of standard input");
  return [cmd, mode, hex, records, wireless, key_text, keys_file, no_crc]() -> int {
    if (!cmd->parsed()) return -1;
    auto run = std::make_unique<DecodeRun>();
    run->mode = static_cast<std::uint8_t>(*mode);
    run->decoder = *wireless  ? Decoder::kWireless
                   : *records ? Decoder::kRecords
                              : Decoder::kControl;
    run->crcs = *no_crc ? FrameCrcs::kRemoved : FrameCrcs::kPresent;
    if (run->decoder != Decoder::kControl) {
      run->profiles =
          LoadProfilesInUse([](const std::string& w) { std::cerr << "Warning: " << w << '\n'; });
    }
    MeterKey key{};
    if (!key_text->empty()) {
      key = *ParseMeterKey(*key_text);
      run->key = &key;
    }
    if (!keys_file->empty()) {
      try {
        std::string warning;
        run->wireless = WirelessDecoder(LoadKeysFile(*keys_file, warning));
        if (!warning.empty()) std::cerr << warning << '\n';
      } catch (const Error& e) {
        std::cerr << "Error: " << e.what() << '\n';
        return kExitUsage;
      }
    }
    int status = kExitOk;
    int n = 0;
    for (const std::string& text : Telegrams(*hex)) {
      if (DecodeOne(text, ++n, *run) != Outcome::kDecoded) status = kExitError;
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
      const Outcome outcome = DecodeOne(line, ++n, *run);
      if (outcome == Outcome::kDecoded) continue;
      status = kExitError;
      if (outcome == Outcome::kNotRead) continue;
      // A stream of garbage gets a bounded report, not one line of error per line of input.
      if (++errors == kMaxErrors) {
        std::cerr << "Error: " << kMaxErrors << " telegrams could not be decoded (the last at line "
                  << lines << "); stopped there: is this input telegrams in hex?\n";
        return kExitError;
      }
    }
    // A directory or a failing device as standard input reads as an early end: said, not
    // taken for "no telegrams".
    if (std::ferror(stdin)) {
      std::cerr << "Error: standard input cannot be read (" << std::strerror(errno)
                << "); give telegrams as arguments or one per line on standard input\n";
      return kExitError;
    }
    return status;
  };
}

}  // namespace velmar::tools
