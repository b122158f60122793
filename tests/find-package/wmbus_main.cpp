// Builds against the installed wireless component: find_package(velmar COMPONENTS wmbus) and
// velmar::wmbus bring the decoder and its libcrypto. A frame too short for any telegram must
// come back as a damaged frame, with no records.
#include <velmar/wmbus.hpp>

#include <array>
#include <cstdint>

int main() {
  velmar::WirelessDecoder decoder;
  velmar::WirelessTelegram telegram;
  const std::array<std::uint8_t, 3> shortFrame{0x02, 0x44, 0x2D};
  const std::string& error = decoder.Decode(shortFrame, telegram);
  return !error.empty() && telegram.status == velmar::Status::kDamagedFrame ? 0 : 1;
}
