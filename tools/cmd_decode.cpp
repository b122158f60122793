#include <iostream>
#include <string>
#include <vector>

#include "codec/hex.hpp"
#include "commands.hpp"
#include "decode_json.hpp"

namespace velmar::tools {

Runner AddDecode(CLI::App& app) {
  auto* cmd = app.add_subcommand(
      "decode", "Decode received RSP_UD telegrams (hex) offline and print one JSON line each");
  auto mode = std::make_shared<int>(0);
  auto hex = std::make_shared<std::vector<std::string>>();
  cmd->add_option("--mode", *mode, "decodeMode: the expected manufacturer block type, 250 = any")
      ->check(CLI::Range(0, 255));
  cmd->footer(
      "Exit status: 0 every telegram decoded (whatever its result); 1 a line was not\n"
      "hexadecimal (reported, the others still decoded); 2 usage error.");
  cmd->add_option("HEX", *hex, "Telegrams; without any, one per line of standard input");
  return [cmd, mode, hex]() -> int {
    if (!cmd->parsed()) return -1;
    std::vector<std::string> lines = *hex;
    if (lines.empty()) {
      for (std::string line; std::getline(std::cin, line);) {
        if (line.find_first_not_of(" \t\r") != std::string::npos) lines.push_back(line);
      }
    }
    int status = 0;
    int n = 0;
    for (const std::string& line : lines) {
      ++n;
      auto bytes = velmar::ParseHex(line);
      if (!bytes) {
        std::cerr << "Error: telegram " << n << " is not hexadecimal: " << line << '\n';
        status = 1;
        continue;
      }
      std::cout << DecodeReply(*bytes, static_cast<std::uint8_t>(*mode)).dump() << '\n';
    }
    return status;
  };
}

}  // namespace velmar::tools
