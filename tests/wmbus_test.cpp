// Wireless telegrams: the block check against its published check value, frames in format A
// and B opened to the same telegram as without CRCs, damaged and cut frames refused, transport
// headers read, enciphered data reported and never read as records. The telegram is the
// unencrypted example of a wireless M-Bus module maker's manual (AMB, 12345678, "ENC TEST").
#include <gtest/gtest.h>

#include <cmath>
#include <string_view>

#include "codec/hex.hpp"
#include "velmar/wmbus.hpp"

namespace velmar {
namespace {

using Bytes = std::vector<std::uint8_t>;

const Bytes kPlain = *ParseHex(
    "1E 44 A2 05 78 56 34 12 00 03 7A 35 00 00 00 2F 2F 00 7C 08 54 53 45 54 20 43 4E "
    "45 2F 2F 2F");

void PutCrc(Bytes& out, std::span<const std::uint8_t> block) {
  const std::uint16_t crc = WirelessCrc(block);
  out.push_back(static_cast<std::uint8_t>(crc >> 8));
  out.push_back(static_cast<std::uint8_t>(crc & 0xFF));
}

// The telegram as it is on the air in format A: a CRC after the first 10 bytes and after every
// 16 bytes that follow.
Bytes FormatA(const Bytes& plain) {
  Bytes a(plain.begin(), plain.begin() + 10);
  PutCrc(a, a);
  for (std::size_t at = 10; at < plain.size(); at += 16) {
    const auto block = std::span(plain).subspan(at, std::min<std::size_t>(16, plain.size() - at));
    a.insert(a.end(), block.begin(), block.end());
    PutCrc(a, block);
  }
  return a;
}

// Format B: one CRC after block 2 over everything before it; L counts it.
Bytes FormatB(const Bytes& plain) {
  Bytes b = plain;
  b[0] = static_cast<std::uint8_t>(plain.size() + 1);
  PutCrc(b, b);
  return b;
}

TEST(Wireless, TheBlockCheckIsCrc16En13757) {
  constexpr std::string_view kCheck = "123456789";
  const Bytes text(kCheck.begin(), kCheck.end());
  EXPECT_EQ(WirelessCrc(text), 0xC2B7);  // the CRC catalogue's check value
}

TEST(Wireless, EveryFrameFormatOpensToTheSameTelegram) {
  for (const Bytes& raw : {kPlain, FormatA(kPlain), FormatB(kPlain)}) {
    WirelessTelegram t;
    EXPECT_EQ(DecodeWirelessTelegram(raw, t), "") << HexText(raw);
    EXPECT_EQ(t.bytes, kPlain);
    EXPECT_EQ(t.link.c, 0x44);
    EXPECT_EQ(std::string(t.link.manufacturer.data()), "AMB");
    EXPECT_EQ(std::string(t.decoded.header.ident.data()), "12345678");
    EXPECT_EQ(t.decoded.header.medium, 3);
    EXPECT_EQ(t.decoded.header.accessNumber, 0x35);
    ASSERT_EQ(t.decoded.records.size(), 1u);
    EXPECT_EQ(UnitText(t.decoded.records[0]), "ENC TEST");
  }
  WirelessTelegram a;
  DecodeWirelessTelegram(FormatA(kPlain), a);
  EXPECT_EQ(a.format, FrameFormat::kA);
  WirelessTelegram b;
  DecodeWirelessTelegram(FormatB(kPlain), b);
  EXPECT_EQ(b.format, FrameFormat::kB);
}

TEST(Wireless, DamagedCutAndLongFramesAreRefusedWithTheirReason) {
  Bytes damaged = FormatA(kPlain);
  damaged[20] ^= 0x01;  // inside block 2
  WirelessTelegram t;
  EXPECT_EQ(DecodeWirelessTelegram(damaged, t), "block 2 fails its CRC (a damaged telegram)");
  EXPECT_TRUE(t.decoded.records.empty());

  const Bytes cut(kPlain.begin(), kPlain.end() - 3);
  EXPECT_NE(DecodeWirelessTelegram(cut, t).find("shorter than its L field (30)"),
            std::string::npos);
  Bytes longer = kPlain;
  longer.push_back(0x00);
  EXPECT_NE(DecodeWirelessTelegram(longer, t).find("longer than its L field"), std::string::npos);
  EXPECT_NE(DecodeWirelessTelegram(Bytes{0x0A, 0x44}, t).find("shorter than its link layer"),
            std::string::npos);
}

// A long transport header names the meter behind a radio adapter; an unknown CI is named; an
// extended link layer is stepped over.
TEST(Wireless, TransportHeadersAndTheExtendedLinkLayer) {
  const Bytes adapter = *ParseHex(
      "1C 44 A2 05 11 11 11 11 01 37 72 78 56 34 12 2D 2C 34 04 07 00 00 00 "
      "04 06 CE 86 00 00");
  WirelessTelegram t;
  ASSERT_EQ(DecodeWirelessTelegram(adapter, t), "");
  EXPECT_EQ(std::string(t.link.ident.data()), "11111111");
  EXPECT_EQ(std::string(t.decoded.header.ident.data()), "12345678");
  EXPECT_EQ(std::string(t.decoded.header.manufacturer.data()), "KAM");
  EXPECT_EQ(t.decoded.header.medium, 4);
  ASSERT_EQ(t.decoded.records.size(), 1u);
  EXPECT_EQ(t.decoded.records[0].value, 34510000.0);

  const Bytes ell = *ParseHex("13 44 A2 05 78 56 34 12 00 07 8C 20 35 78 04 13 10 27 00 00");
  ASSERT_EQ(DecodeWirelessTelegram(ell, t), "");
  ASSERT_EQ(t.decoded.records.size(), 1u);
  EXPECT_EQ(t.decoded.records[0].value, 10.0);

  const Bytes odd = *ParseHex("0B 44 A2 05 78 56 34 12 00 07 A1 00");
  EXPECT_NE(DecodeWirelessTelegram(odd, t).find("CI 0xA1 is not read here"), std::string::npos);
}

// Security mode 5 as the same manual publishes it: the module enciphers the one 16-byte block
// after the short header with the key 00 01 .. 0F and the IV A2 05 78 56 34 12 00 03 and eight
// times the access number 35. With the key the records are the plain example's; with another
// key the check for 2F 2F fails; without a key the telegram says it is enciphered.
TEST(Wireless, SecurityMode5WithTheKeyTheWrongKeyAndNone) {
  const Bytes enciphered = *ParseHex(
      "1E 44 A2 05 78 56 34 12 00 03 7A 35 00 10 05 1E 34 C7 7C FE "
      "6C 59 B1 54 B6 63 29 7F E6 C3 F7");
  MeterKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
  WirelessTelegram t;
  ASSERT_EQ(DecodeWirelessTelegram(enciphered, t, &key), "");
  ASSERT_EQ(t.decoded.records.size(), 1u);
  EXPECT_EQ(UnitText(t.decoded.records[0]), "ENC TEST");
  EXPECT_EQ(t.decoded.header.encryptionMode, 5);

  MeterKey wrong = key;
  wrong[15] ^= 0x01;
  EXPECT_EQ(DecodeWirelessTelegram(enciphered, t, &wrong), "decryption failed: wrong key?");
  EXPECT_TRUE(t.decoded.records.empty());
  EXPECT_EQ(DecodeWirelessTelegram(enciphered, t), "encrypted (mode 5), no key for this meter");
  EXPECT_TRUE(t.decoded.records.empty());
  const Bytes cut(enciphered.begin(), enciphered.end() - 1);
  EXPECT_NE(DecodeWirelessTelegram(cut, t, &key), "");
}

// Enciphered data is reported, never walked as records: a short header's configuration word
// with mode 5, and the extended link layer's own encryption.
TEST(Wireless, EncipheredDataIsReportedNotRead) {
  Bytes mode5 = kPlain;
  mode5[13] = 0x10;  // configuration word 0x0510: mode 5, one enciphered block
  mode5[14] = 0x05;
  WirelessTelegram t;
  EXPECT_EQ(DecodeWirelessTelegram(mode5, t), "encrypted (mode 5), no key for this meter");
  EXPECT_TRUE(t.decoded.records.empty());
  EXPECT_EQ(std::string(t.decoded.header.ident.data()), "12345678");

  const Bytes ctr = *ParseHex("15 44 A2 05 78 56 34 12 00 07 8D 20 35 01 02 03 24 AA BB 7A 01 02");
  EXPECT_NE(DecodeWirelessTelegram(ctr, t).find("encrypted (extended link layer"),
            std::string::npos);
  EXPECT_TRUE(t.decoded.records.empty());
}

// Security mode 7 on a gas meter (ELS, 12345678) sending 300 l, built by hand with the openssl
// command line from the meter key 00 01 .. 0F: the keys derived by AES-CMAC from 00 or 01, the
// message counter 1 and the identification number (least significant bytes first) padded with
// 07; the block enciphered with the first under a zero IV, the MAC (first 8 bytes of the CMAC
// under the second) over MCL, counter, and the transport layer from its CI.
const Bytes kMode7 = *ParseHex(
    "30 44 93 15 78 56 34 12 33 03 90 0F 00 2C 25 01 00 00 00 A7 27 B7 B1 16 B2 FE 66 "
    "7A 11 00 10 07 10 DE BB 75 E9 44 2C 09 9F 6E 26 40 C0 C6 8A D1 65");

MeterKey CountingKey() {
  MeterKey key{};
  for (std::size_t i = 0; i < key.size(); ++i) key[i] = static_cast<std::uint8_t>(i);
  return key;
}

// The extended link layer's own encryption: the plain example's transport layer and records
// with their payload CRC (CRC-16 of EN 13757-4), enciphered by hand with openssl's AES-128-CTR
// from the counter block M, A, communication control 20, session number 01 02 03 24 (its top
// bits: AES-CTR), frame number and block counter 0, under the key 00 01 .. 0F.
TEST(Wireless, TheExtendedLinkLayerDeciphersWithItsCounterAndChecksItsCrc) {
  const Bytes ell = *ParseHex(
      "27 44 A2 05 78 56 34 12 00 07 8D 20 35 01 02 03 24 "
      "89 DF 3F 0D 70 AC E0 45 66 E0 02 94 A7 D4 10 57 8F A1 49 2C F6 9D 52");
  const MeterKey key = CountingKey();
  WirelessTelegram t;
  ASSERT_EQ(DecodeWirelessTelegram(ell, t, &key), "");
  ASSERT_EQ(t.decoded.records.size(), 1u);
  EXPECT_EQ(UnitText(t.decoded.records[0]), "ENC TEST");
  MeterKey wrong = key;
  wrong[3] ^= 0x10;
  EXPECT_EQ(DecodeWirelessTelegram(ell, t, &wrong), "decryption failed: wrong key?");
  EXPECT_TRUE(t.decoded.records.empty());
  EXPECT_EQ(DecodeWirelessTelegram(ell, t),
            "encrypted (extended link layer, AES-CTR), no key for this meter");
}

TEST(Wireless, SecurityMode7DerivesItsKeysAndChecksTheMac) {
  MeterKeys keys;
  ASSERT_TRUE(keys.Add("12345678", CountingKey()));
  EXPECT_FALSE(keys.Add("12345678", MeterKey{}));  // one key per meter
  WirelessDecoder decoder(std::move(keys));
  WirelessTelegram t;
  ASSERT_EQ(decoder.Decode(kMode7, t), "");
  EXPECT_TRUE(t.authenticated);
  EXPECT_EQ(t.messageCounter, 1u);
  EXPECT_EQ(t.decoded.header.encryptionMode, 7);
  ASSERT_EQ(t.decoded.records.size(), 1u);
  EXPECT_DOUBLE_EQ(t.decoded.records[0].value, 0.3);  // m^3
  EXPECT_EQ(t.decoded.records[0].quantity, "Volume");

  // A bit changed in the enciphered block, in the counter, or a wrong key: the MAC fails.
  for (const std::size_t at : {std::size_t{40}, std::size_t{15}}) {
    Bytes damaged = kMode7;
    damaged[at] ^= 0x01;
    EXPECT_EQ(decoder.Decode(damaged, t), "decryption failed: wrong key?") << at;
    EXPECT_TRUE(t.decoded.records.empty());
  }
  MeterKey wrong = CountingKey();
  wrong[0] ^= 0x80;
  EXPECT_EQ(decoder.Decode(kMode7, t, &wrong), "decryption failed: wrong key?");
  // Another meter's telegram finds no key.
  Bytes other = kMode7;
  other[4] = 0x79;
  EXPECT_EQ(decoder.Decode(other, t), "encrypted (mode 7), no key for this meter");
  EXPECT_EQ(std::string(t.decoded.header.ident.data()), "12345679");
}

// A water meter's telegram published with its key in a public issue thread (wmbusmeters issue
// 1170, 2024-02-05: PLO 20376400, security mode 5, four blocks). Deciphered by hand with
// openssl (IV 8F 41 00 64 37 20 35 07 and the access number 48 eight times) the records read:
// 04 13 00 35 0C 00 volume 800000 l; 04 93 3C the same volume with a VIFE; 04 6D a date and time,
// 2024-02-04 11:00; 04 FD 17 error flags 0x4202; then storage 1 and 2 values of 0.
TEST(Wireless, APublishedWaterMeterTelegramOpensWithItsPublishedKey) {
  const Bytes telegram = *ParseHex(
      "4E448F410064372035077A48004005326BA7F0D19A3E7A20D6F124285E61435300240EC8C32117D3711783"
      "69FE502AD5F39EB1BCCD45921CBFE367494AFDAEF920E85B7278697876C0D6D89FB0CB8A");
  const auto key = *ParseHex("776D627573656E63727970746B657931");
  MeterKey k{};
  std::copy(key.begin(), key.end(), k.begin());
  WirelessTelegram t;
  ASSERT_EQ(DecodeWirelessTelegram(telegram, t, &k), "");
  EXPECT_EQ(std::string(t.decoded.header.ident.data()), "20376400");
  EXPECT_EQ(std::string(t.decoded.header.manufacturer.data()), "PLO");
  ASSERT_GE(t.decoded.records.size(), 4u);
  EXPECT_EQ(t.decoded.records[0].quantity, "Volume");
  EXPECT_DOUBLE_EQ(t.decoded.records[0].value, 800.0);  // m^3
  EXPECT_EQ(ValueText(t.decoded.records[2]), "2024-02-04T11:00:00");
  EXPECT_DOUBLE_EQ(t.decoded.records[3].value, 0x4202);
}

}  // namespace
}  // namespace velmar
