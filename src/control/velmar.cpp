// The control object: construction, serial configuration, saved settings and the meter
// commands of the public interface.
#include "velmar/velmar.hpp"

#include "control/velmar_impl.hpp"

namespace velmar {
namespace {

constexpr const char* kLineFormat = ",e,8,1";  // M-Bus: even parity, 8 data bits, 1 stop bit

}  // namespace

Velmar::Velmar(HostServices host, std::unique_ptr<SerialPort> port,
               std::unique_ptr<TextField> address_field)
    : impl_(std::make_unique<Impl>(host, std::move(port), std::move(address_field))) {
  if (!impl_->port) throw ArgumentError("Velmar needs a serial port");
}

Velmar::~Velmar() = default;

void Velmar::InitProperties() {
  CommPort(Variant(std::int16_t{1}));
  CommSpeed(Variant(std::int16_t{2400}));
  SerialPort& port = *impl_->port;
  port.SetInputMode(1);
  port.SetRThreshold(1);
  // One read of the input must deliver every waiting byte, since the transport counts the
  // waiting bytes and then reads them all at once: 0 asks the port for the whole buffer.
  port.SetInputLen(0);
  impl_->commands.flags().keepPortopen = true;
}

void Velmar::ReadProperties(PropertySet& bag) {
  const std::string name = impl_->host.container.InstanceName();
  bag.Read("Caption", Variant(name));
  CommPort(bag.Read("CommPort", CommPort()));
  CommSpeed(bag.Read("CommSpeed", CommSpeed()));
  RTSEnable(bag.Read("RTSEnable", RTSEnable()));
}

void Velmar::WriteProperties(PropertySet& bag) {
  const std::string name = impl_->host.container.InstanceName();
  bag.Write("Caption", Variant(), Variant(name));
  bag.Write("CommPort", CommPort(), Variant(std::int16_t{1}));
  bag.Write("CommSpeed", CommSpeed(), Variant(std::int16_t{2400}));
  bag.Write("RTSEnable", RTSEnable(), Variant(false));
}

bool Velmar::Timeout() const {
  return impl_->transport.state().Timeout;
}
void Velmar::Timeout(bool value) {
  impl_->transport.state().Timeout = value;
}
bool Velmar::noErrorPopup() const {
  return impl_->commands.flags().noErrorPopup;
}
void Velmar::noErrorPopup(bool value) {
  impl_->commands.flags().noErrorPopup = value;
}
void Velmar::keepPortopen(bool DontClose) {
  impl_->commands.flags().keepPortopen = DontClose;
}

Variant Velmar::RTSEnable() const {
  return Variant(impl_->port->RTSEnable());
}

void Velmar::RTSEnable(const Variant& status) {
  // The port is closed first; a value that does not convert fails after that step.
  if (impl_->port->PortOpen()) impl_->port->SetPortOpen(false);
  impl_->port->SetRTSEnable(status.ToBool("RTSEnable"));
  impl_->host.container.PropertyChanged("RTSEnable");
}

Variant Velmar::CommPort() const {
  return Variant(impl_->port->CommPort());
}

void Velmar::CommPort(const Variant& portNo) {
  if (impl_->port->PortOpen()) impl_->port->SetPortOpen(false);
  impl_->port->SetCommPort(portNo.ToInt16("CommPort"));
  impl_->host.container.PropertyChanged("CommPort");
}

// The speed is read back from the first four characters of the settings text only, so 19200
// reads as " 1920"; saved settings keep that reading.
Variant Velmar::CommSpeed() const {
  const std::string settings = impl_->port->Settings();
  return Variant(LeadingSpaceText(LeadingNumber(settings.substr(0, 4))));
}

void Velmar::CommSpeed(const Variant& baudrate) {
  impl_->port->SetSettings(baudrate.ToText() + kLineFormat);
  impl_->host.container.PropertyChanged("CommSpeed");
}

std::int16_t Velmar::ChangePassword(std::string& myPasswd, const std::optional<Variant>& Address) {
  return impl_->commands.ChangePassword(myPasswd, Address);
}

std::int16_t Velmar::givePassword(std::string& myPasswd, const std::optional<Variant>& Address) {
  return impl_->commands.givePassword(myPasswd, Address);
}

std::int16_t Velmar::SetIntervals(std::span<const std::uint8_t> tariffData, std::int32_t& tariffLen,
                                  const std::optional<Variant>& Address) {
  return impl_->commands.SetIntervals(tariffData, tariffLen, Address);
}

std::int16_t Velmar::ReadIntervals(std::span<std::uint8_t> tariffData, std::int32_t& tariffLen,
                                   const std::optional<Variant>& Address) {
  return impl_->commands.ReadIntervals(tariffData, tariffLen, Address);
}

std::int16_t Velmar::SetDateTime(std::string& sDateTime, const std::optional<Variant>& Address) {
  return impl_->commands.SetDateTime(sDateTime, Address);
}

std::int16_t Velmar::SetDateTimeStd(std::string& sDateTime, const std::optional<Variant>& Address) {
  return impl_->commands.SetDateTimeStd(sDateTime, Address);
}

std::int16_t Velmar::LockMeter(std::uint8_t& mode, const std::optional<Variant>& Address) {
  return impl_->commands.LockMeter(mode, Address);
}

std::int16_t Velmar::cmd_ReqUD2() {
  return impl_->commands.cmd_ReqUD2();
}
std::int16_t Velmar::closePort() {
  return impl_->transport.closePort();
}

TextField& Velmar::txt_Adress() {
  return *impl_->txt_Adress;
}
SerialPort& Velmar::MSC_port() {
  return *impl_->port;
}
const std::array<std::string, 3>& Velmar::sentLog() const {
  return impl_->transport.state().sentLog;
}
const std::array<std::string, 3>& Velmar::replyLog() const {
  return impl_->transport.state().replyLog;
}

void Velmar::SetTraceCallback(TraceCallback callback) {
  impl_->transport.SetTraceCallback(std::move(callback));
}

void Velmar::SetProgressCallback(std::function<void(int, int)> callback) {
  impl_->commands.SetProgressCallback(std::move(callback));
}

}  // namespace velmar
