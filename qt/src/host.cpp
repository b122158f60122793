#include <QLineEdit>

#include "velmar/qt.hpp"

namespace velmar::qt {
namespace {

// The address field on the form. The form owns the QLineEdit and may delete it first.
class LineEditField : public TextField {
 public:
  explicit LineEditField(QLineEdit* edit) : edit_(edit) {}
  std::string Text() const override { return edit_ ? edit_->text().toStdString() : "254"; }
  void SetText(std::string text) override {
    if (edit_) edit_->setText(QString::fromStdString(text));
  }

 private:
  QPointer<QLineEdit> edit_;
};

}  // namespace

QtPropertySet::QtPropertySet(QSettings& settings, QString group)
    : settings_(settings), group_(std::move(group)) {}

// Values travel as text both ways, as the control's properties accept them: an INI file gives
// texts back whatever type was written.
Variant QtPropertySet::Read(const std::string& name, const Variant& default_value) {
  const QString key = group_ + '/' + QString::fromStdString(name);
  if (!settings_.contains(key)) return default_value;
  return Variant(settings_.value(key).toString().toStdString());
}

void QtPropertySet::Write(const std::string& name, const Variant& value, const Variant&) {
  settings_.setValue(group_ + '/' + QString::fromStdString(name),
                     QString::fromStdString(value.ToText()));
}

bool QtPropertySet::Exists() const {
  settings_.beginGroup(group_);
  const bool any = !settings_.childKeys().isEmpty();
  settings_.endGroup();
  return any;
}

Host::Host(QString instance_name) : Host(std::make_unique<QSettings>(), std::move(instance_name)) {}

Host::Host(std::unique_ptr<QSettings> settings, QString instance_name)
    : settings_(std::move(settings)),
      container_(instance_name),
      properties_(*settings_, instance_name) {}

Host::~Host() = default;

HostServices Host::Services() {
  return HostServices{events_, messages_, container_};
}

std::unique_ptr<SerialPortBase> Host::SerialPort(const QString& device) {
  return posix::PortForDevice(events_, device.toStdString());
}

std::unique_ptr<TextField> Host::AddressField(QLineEdit* field) {
  if (field == nullptr) return std::make_unique<SimpleTextField>();
  return std::make_unique<LineEditField>(field);
}

}  // namespace velmar::qt
