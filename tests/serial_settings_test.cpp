// The settings text of a serial port, and how each line setting sets a terminal.
#include <gtest/gtest.h>
#include <termios.h>

#include "platform/serial_settings.hpp"
#include "velmar/error.hpp"

namespace velmar {
namespace {

TEST(SerialSettings, ParsesTheFourFieldsBlanksAllowed) {
  const SerialSettings s = SerialSettings::Parse(" 2400 , E ,8, 1 ");
  EXPECT_EQ(s.speed.bitsPerSecond, 2400);
  EXPECT_EQ(s.parity.letter, 'e');
  EXPECT_EQ(s.dataBits.count, 8);
  EXPECT_EQ(s.stopBits.count, 1);
  EXPECT_EQ(s.BitsPerCharacter(), 11);  // start, 8 data, parity, stop: the M-Bus character
  EXPECT_EQ(SerialSettings::Parse("9600,n,7,2").BitsPerCharacter(), 10);
  EXPECT_DOUBLE_EQ(s.CharacterSeconds(), 11.0 / 2400);
}

TEST(SerialSettings, RefusesWhatDoesNotParseNamingTheField) {
  const struct {
    const char* text;
    const char* says;
  } bad[] = {
      {"2400,e,8", "must be speed,parity,data bits,stop bits"},
      {"abc,e,8,1", "speed \"abc\" is not valid"},
      {"0,e,8,1", "speed \"0\" is not valid"},
      {"2400,x,8,1", "parity \"x\" is not one of n, e, o, m, s"},
      {"2400,e,9,1", "data bits must be 5 to 8"},
      {"2400,e,8,3", "stop bits must be 1 or 2"},
  };
  for (const auto& b : bad) {
    try {
      SerialSettings::Parse(b.text);
      ADD_FAILURE() << b.text << " was accepted";
    } catch (const PortError& e) {
      EXPECT_NE(std::string(e.what()).find(b.says), std::string::npos) << e.what();
    }
  }
}

// With a parity bit on the line the driver must check it, or a damaged character is taken as
// good; without one there is nothing to check.
TEST(SerialSettings, EvenParityAsksTheDriverToCheckIncomingParity) {
  termios tio{};
  SerialSettings::Parse("2400,e,8,1").ApplyTo(tio);
  EXPECT_TRUE(tio.c_cflag & PARENB);
  EXPECT_FALSE(tio.c_cflag & PARODD);
  EXPECT_TRUE(tio.c_iflag & INPCK);
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_FALSE(tio.c_cflag & CSTOPB);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B2400));

  SerialSettings::Parse("9600,n,8,2").ApplyTo(tio);
  EXPECT_FALSE(tio.c_cflag & PARENB);
  EXPECT_FALSE(tio.c_iflag & INPCK);
  EXPECT_TRUE(tio.c_cflag & CSTOPB);

  // A device left with parity errors dropped or marked by its last user gets neither.
  tio.c_iflag |= IGNPAR | PARMRK;
  SerialSettings::Parse("2400,e,8,1").ApplyTo(tio);
  EXPECT_TRUE(tio.c_iflag & INPCK);
  EXPECT_FALSE(tio.c_iflag & IGNPAR);
  EXPECT_FALSE(tio.c_iflag & PARMRK);

  EXPECT_THROW(SerialSettings::Parse("2401,e,8,1").ApplyTo(tio), PortError);
}

}  // namespace
}  // namespace velmar
