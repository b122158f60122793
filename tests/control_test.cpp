// Configuration, saved settings and value properties of the control.
#include <gtest/gtest.h>

#include <functional>

#include "decode/meter_data.hpp"
#include "link/link_state.hpp"
#include "velmar/posix_platform.hpp"
#include "virtual_bench.hpp"

namespace velmar {
namespace {

using testing::VirtualBench;

TEST(Configuration, FirstCreationDefaults) {
  VirtualBench b;
  Velmar& v = *b.control;
  EXPECT_EQ(v.CommPort(), Variant(std::int16_t{1}));
  EXPECT_EQ(v.CommSpeed(), Variant(" 2400"));
  EXPECT_EQ(b.port->Settings(), "2400,e,8,1");
  EXPECT_EQ(b.port->InputMode(), 1);
  EXPECT_EQ(b.port->RThreshold(), 1);
  EXPECT_EQ(b.port->InputLen(), 0);  // every waiting byte on each read
  EXPECT_FALSE(v.Timeout());
  EXPECT_FALSE(v.noErrorPopup());
  EXPECT_EQ((b.container.changed), (std::vector<std::string>{"CommPort", "CommSpeed"}));
}

TEST(Configuration, SpeedReadsBackFromFourCharacters) {
  VirtualBench b;
  b.control->CommSpeed(Variant(std::int32_t{9600}));
  EXPECT_EQ(b.port->Settings(), "9600,e,8,1");
  EXPECT_EQ(b.control->CommSpeed(), Variant(" 9600"));
  b.control->CommSpeed(Variant(std::int32_t{19200}));
  EXPECT_EQ(b.port->Settings(), "19200,e,8,1");
  EXPECT_EQ(b.control->CommSpeed(), Variant(" 1920"));
}

TEST(Configuration, PortAndRtsSettersCloseAnOpenPortSpeedDoesNot) {
  VirtualBench b;
  Velmar& v = *b.control;
  b.port->SetPortOpen(true);
  v.CommSpeed(Variant("4800"));
  EXPECT_TRUE(b.port->PortOpen());
  v.CommPort(Variant("3"));
  EXPECT_FALSE(b.port->PortOpen());
  EXPECT_EQ(v.CommPort(), Variant(std::int16_t{3}));
  b.port->SetPortOpen(true);
  v.RTSEnable(Variant(true));
  EXPECT_FALSE(b.port->PortOpen());
  EXPECT_EQ(v.RTSEnable(), Variant(true));
}

TEST(Configuration, BadValuesRaiseTypedErrorsAndLeaveTheControlUsable) {
  VirtualBench b;
  Velmar& v = *b.control;
  b.port->SetPortOpen(true);
  EXPECT_THROW(v.CommPort(Variant("com1")), ConversionError);
  EXPECT_FALSE(b.port->PortOpen());  // closing came first
  EXPECT_THROW(v.CommPort(Variant(std::int32_t{70000})), OverflowError);
  EXPECT_THROW(v.CommSpeed(Variant("fast")), PortError);
  EXPECT_EQ(v.CommSpeed(), Variant(" 2400"));
  EXPECT_TRUE(b.messages.shown.empty());
  EXPECT_EQ(v.cmd_ReqUD2(), 0);
  EXPECT_EQ(v.MeterID(), Variant(std::int32_t{12345678}));
}

TEST(Persistence, SaveThenRestoreOnAFreshControl) {
  VirtualBench b;
  b.control->CommPort(Variant(std::int16_t{4}));
  virt::MemoryPropertySet bag;
  b.control->WriteProperties(bag);
  EXPECT_EQ(bag.writes,
            (std::vector<std::string>{"Caption", "CommPort", "CommSpeed", "RTSEnable"}));
  EXPECT_EQ(bag.values["CommSpeed"], Variant(" 2400"));

  virt::VirtualEventLoop loop;
  virt::RecordingMessageBox messages;
  virt::RecordingContainer container;
  auto owned = std::make_unique<virt::VirtualSerialPort>(loop);
  auto* port = owned.get();
  Velmar restored(HostServices{loop, messages, container}, std::move(owned));
  restored.keepPortopen(true);
  restored.ReadProperties(bag);
  EXPECT_EQ(bag.reads, (std::vector<std::string>{"Caption", "CommPort", "CommSpeed", "RTSEnable"}));
  EXPECT_EQ(restored.CommPort(), Variant(std::int16_t{4}));
  // The saved reading " 2400" comes back as " 2400,e,8,1", which the port runs trimmed.
  EXPECT_EQ(port->Settings(), "2400,e,8,1");
  EXPECT_EQ(port->InputMode(), 0);  // restore leaves the port's input mode alone
}

// Saved settings go through the sign-position text of CommSpeed each time; five rounds must
// leave the speed where it was, on a virtual and on a real (closed) port alike.
void FiveSaveRestoreCycles(std::function<std::unique_ptr<SerialPort>()> make_port,
                           EventLoop& loop) {
  virt::RecordingMessageBox messages;
  virt::RecordingContainer container;
  virt::MemoryPropertySet bag;
  {
    Velmar first(HostServices{loop, messages, container}, make_port());
    first.InitProperties();
    first.CommSpeed(Variant(std::int16_t{9600}));
    first.WriteProperties(bag);
  }
  for (int cycle = 1; cycle <= 5; ++cycle) {
    Velmar v(HostServices{loop, messages, container}, make_port());
    v.ReadProperties(bag);
    EXPECT_EQ(v.CommSpeed(), Variant(" 9600")) << "cycle " << cycle;
    EXPECT_EQ(v.MSC_port().Settings(), "9600,e,8,1") << "cycle " << cycle;
    v.WriteProperties(bag);
  }
}

TEST(Persistence, SettingsSurviveFiveSaveRestoreCyclesOnBothPlatforms) {
  virt::VirtualEventLoop vloop;
  FiveSaveRestoreCycles([&] { return std::make_unique<virt::VirtualSerialPort>(vloop); }, vloop);
  posix::PosixEventLoop ploop;
  FiveSaveRestoreCycles([&] { return std::make_unique<posix::PosixSerialPort>(ploop); }, ploop);
}

TEST(Persistence, AbsentEntriesLeaveSettingsUnchanged) {
  virt::VirtualEventLoop loop;
  virt::RecordingMessageBox messages;
  virt::RecordingContainer container;
  auto owned = std::make_unique<virt::VirtualSerialPort>(loop);
  owned->SetCommPort(7);
  Velmar v(HostServices{loop, messages, container}, std::move(owned));
  virt::MemoryPropertySet empty;
  v.ReadProperties(empty);
  EXPECT_EQ(v.CommPort(), Variant(std::int16_t{7}));
}

class ValueProperties : public ::testing::Test {
 protected:
  void SetUp() override {
    LinkState() = MbusLinkState{};
    MeterData() = OrvMeterData{};
  }
  VirtualBench b;
};

TEST_F(ValueProperties, StatusTextsManufacturerAndIdentity) {
  Velmar& v = *b.control;
  LinkState().statusByte = 99;
  EXPECT_EQ(v.MeterErrorString(),
            Variant("\r\nInstallation Error\r\nAny Application Error\r\nApplication Busy\r\n"));
  LinkState().statusByte = 0x14;
  EXPECT_EQ(v.MeterErrorString(), Variant("Temporary Error\r\nPower Low\r\n"));
  LinkState().manufacturerCode = 0x0601;
  EXPECT_EQ(v.Manufacturer(), Variant("APA"));
  LinkState().manufacturerCode = 0x6B5A;
  EXPECT_EQ(v.Manufacturer(), Variant("ZZZ"));
  LinkState().manufacturerCode = -0x7000;
  EXPECT_EQ(v.Manufacturer(), Variant(""));
  EXPECT_EQ(v.MeterID(), Variant(""));
  LinkState().identNumber = 12345678;
  EXPECT_EQ(v.MeterID(), Variant(std::int32_t{12345678}));
}

TEST_F(ValueProperties, TariffsRelaysAndDateTime) {
  Velmar& v = *b.control;
  EXPECT_THROW(v.ActiveEnergy(6), IndexOutOfRangeError);
  EXPECT_THROW(v.ActiveEnergy(-1), IndexOutOfRangeError);
  EXPECT_EQ(v.ActiveEnergy(5), Variant(0.0));
  MeterData().activeEnergyTariffStatus[2] = 3;
  EXPECT_EQ(v.ActiveEnergy(2), Variant("-"));
  EXPECT_EQ(v.getRelayState(6), -1);
  EXPECT_EQ(v.getRelayState(0), -2);
  MeterData().outputStateValid[1] = true;
  MeterData().outputState[1] = true;
  EXPECT_EQ(v.getRelayState(1), 1);
  MeterData().meterDate = "060504";
  MeterData().meterTime = "12:34:56";
  EXPECT_EQ(v.readDateTime(), "06050412:34:56");
}

TEST_F(ValueProperties, ReadWithoutReplyShowsTheResetHeader) {
  b.meter.InjectFault({sim::FaultKind::kSilence});  // the SND_NKE goes unanswered
  b.meter.InjectFault({sim::FaultKind::kSilence});
  Velmar& v = *b.control;
  EXPECT_EQ(v.cmd_ReqUD2(), 0);
  EXPECT_TRUE(v.Timeout());
  EXPECT_EQ(v.MeterErrorCode(), Variant(std::uint8_t{99}));
  EXPECT_EQ(v.MeterID(), Variant(""));
  EXPECT_EQ(v.Manufacturer(), Variant(""));
  EXPECT_EQ(v.PrimaryAddress(), Variant(std::uint8_t{0}));
  EXPECT_TRUE(b.messages.shown.empty());
}

}  // namespace
}  // namespace velmar
