#include "meter_session.hpp"

#include "line_peers.hpp"
#include "meter_model.hpp"

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
    meter_ = std::make_unique<sim::SimMeter>();
    server_ = std::make_unique<sim::PtyMeterServer>(*meter_, speed);
    path = QString::fromStdString(server_->DevicePath());
  }
  auto port = host_->SerialPort(path);
  port_ = port.get();
  control_ =
      std::make_unique<Velmar>(host_->Services(), std::move(port), host_->AddressField(address));
  if (host_->HasSavedSettings()) {
    control_->ReadProperties(host_->Properties());
  } else {
    control_->InitProperties();
  }
  device_ = device;
  return *control_;
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
  server_.reset();
  meter_.reset();
  device_.clear();
}

}  // namespace velmar::gui
