#include "meter_session.hpp"

#include "line_peers.hpp"
#include "meter_model.hpp"
#include "reply_capture.hpp"

namespace velmar::gui {

MeterSession::MeterSession(std::unique_ptr<QSettings> settings)
    : host_(settings ? std::make_unique<qt::Host>(std::move(settings))
                     : std::make_unique<qt::Host>()) {}

MeterSession::~MeterSession() {
  Shutdown();
}

Velmar& MeterSession::Open(const QString& device, int speed, QLineEdit* address) {
  Shutdown();
  QString path = device;
  if (device == kSimulatedDevice) {
    // One meter at primary address 1 (and 254), or a bus of them at 1..n.
    std::vector<sim::SimMeter*> line;
    for (int n = 1; n <= simulated_; ++n) {
      sim::MeterConfig c;
      c.primaryAddress = static_cast<std::uint8_t>(n);
      c.identNumber = n == 1 ? c.identNumber : 12345600 + n;
      meters_.push_back(std::make_unique<sim::SimMeter>(c));
      line.push_back(meters_.back().get());
    }
    server_ = std::make_unique<sim::PtyMeterServer>(line, speed);
    path = QString::fromStdString(server_->DevicePath());
  }
  auto port = host_->SerialPort(path);
  port_ = port.get();
  auto capture = std::make_unique<ReplyCapture>(std::move(port));
  capture_ = capture.get();
  control_ =
      std::make_unique<Velmar>(host_->Services(), std::move(capture), host_->AddressField(address));
  if (host_->HasSavedSettings()) {
    control_->ReadProperties(host_->Properties());
  } else {
    control_->InitProperties();
  }
  device_ = device;
  return *control_;
}

const std::vector<std::uint8_t>& MeterSession::LastReply() const {
  static const std::vector<std::uint8_t> kNone;
  return capture_ ? capture_->LastReply() : kNone;
}

QString MeterSession::SimulatorPath() const {
  return server_ ? QString::fromStdString(server_->DevicePath()) : QString();
}

void MeterSession::Save() {
  if (!control_) return;
  control_->WriteProperties(host_->Properties());
  host_->ContainerOf().MarkSaved();
  host_->Settings().sync();
}

void MeterSession::Shutdown() {
  if (control_) control_->closePort();
  control_.reset();
  port_ = nullptr;
  capture_ = nullptr;
  server_.reset();
  meters_.clear();
  device_.clear();
}

}  // namespace velmar::gui
