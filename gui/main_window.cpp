#include "main_window.hpp"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QFileDialog>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QScrollArea>
#include <QSpinBox>
#include <QSplitter>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include "bus_pane.hpp"
#include "command_panel.hpp"
#include "connection_panel.hpp"
#include "input_checks.hpp"
#include "meter_read.hpp"
#include "table_export.hpp"
#include "table_files.hpp"
#include "trace_pane.hpp"
#include "velmar/bus.hpp"
#include "velmar/maker_values.hpp"
#include "velmar/results.hpp"

namespace velmar::gui {
namespace {

const QString kGroup = QStringLiteral("gui/");

QString ResultLine(const QString& name, int result, const char* meaning) {
  if (result == 0) return name + QObject::tr(": done");
  return QStringLiteral("%1: failed (%2) %3").arg(name).arg(result).arg(QString::fromUtf8(meaning));
}

// What each command's codes mean, for the status bar.
const char* WriteMeaning(int r) {
  return r == WriteResult::kNoReply ? "no reply" : "not acknowledged";
}

// Sixteen bytes a line after their offset, as hex editors show a file.
QString HexView(const std::vector<std::uint8_t>& bytes) {
  QString view;
  for (std::size_t at = 0; at < bytes.size(); at += 16) {
    view += QStringLiteral("%1 ").arg(at, 4, 16, QChar('0')).toUpper();
    for (std::size_t i = at; i < std::min(bytes.size(), at + 16); ++i) {
      view += QStringLiteral(" %1").arg(bytes[i], 2, 16, QChar('0')).toUpper();
    }
    view += '\n';
  }
  return view;
}

}  // namespace

MainWindow::MainWindow(std::unique_ptr<QSettings> settings) : session_(std::move(settings)) {
  confirm_ = [this](const QString& what) {
    return QMessageBox::question(this, tr("Change the meter?"), what,
                                 QMessageBox::Yes | QMessageBox::Cancel,
                                 QMessageBox::Cancel) == QMessageBox::Yes;
  };
  ask_path_ = [this](const QString& title, const QString& filters, bool save) {
    if (!save) return QFileDialog::getOpenFileName(this, title, QString(), filters);
    QString chosen;
    const QString path = QFileDialog::getSaveFileName(this, title, QString(), filters, &chosen);
    return WithFilterSuffix(path, chosen);
  };
  BuildLayout();
  BuildMenus();
  AddShortcuts();
  session_.host().Messages().SetParent(this);
  RestoreSettings();
  ConnectButtons();
  ConnectBusPane();
  UpdateTitle();
}

MainWindow::~MainWindow() = default;

void MainWindow::BuildLayout() {
  auto* left = new QWidget;
  auto* left_layout = new QVBoxLayout(left);
  connection_ = new ConnectionPanel;
  commands_ = new CommandPanel;
  left_layout->addWidget(connection_);
  left_layout->addWidget(commands_);
  left_layout->addStretch();
  // On a small screen the panel scrolls rather than pushing its buttons out of sight.
  auto* left_scroll = new QScrollArea;
  left_scroll->setWidget(left);
  left_scroll->setWidgetResizable(true);
  left_scroll->setFrameShape(QFrame::NoFrame);
  left_scroll->setMinimumWidth(280);

  tabs_ = new QTabWidget;
  values_ = std::make_unique<ValuesPanel>(tabs_);
  trace_ = new TracePane;
  bus_pane_ = new BusPane;
  table_view_ = new QPlainTextEdit;
  table_view_->setReadOnly(true);
  table_view_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  tabs_->addTab(values_->valuesTab, tr("Values"));
  tabs_->addTab(values_->records, tr("Records"));
  tabs_->addTab(bus_pane_, tr("Bus"));
  tabs_->addTab(table_view_, tr("Tariff table"));
  tabs_->addTab(trace_, tr("Trace"));
  AddCopyShortcut(values_->values);
  AddCopyShortcut(values_->records);

  auto* split = new QSplitter;
  split->addWidget(left_scroll);
  split->addWidget(tabs_);
  split->setStretchFactor(1, 1);
  // The panel as wide as it wants where the screen has room; on a small one the tabs keep
  // what they need and the panel scrolls.
  split->setSizes({left->sizeHint().width() + 24, 2000});
  setCentralWidget(split);
  statusBar()->showMessage(tr("Ready"));
  // As large as the screen leaves room for, up to 1280 x 760.
  const QRect room = QGuiApplication::primaryScreen()->availableGeometry();
  resize(std::min(1280, room.width()), std::min(760, room.height() - 40));
}

void MainWindow::ConnectButtons() {
  CommandPanel* c = commands_;
  connect(c->read, &QPushButton::clicked, this, [this] { Read(); });
  connect(c->givePassword, &QPushButton::clicked, this, [this] { GivePassword(); });
  connect(c->changePassword, &QPushButton::clicked, this, [this] { ChangePassword(); });
  connect(c->setClock, &QPushButton::clicked, this, [this] { SetClock(); });
  connect(c->lock, &QPushButton::clicked, this, [this] { Lock(); });
  connect(c->closePort, &QPushButton::clicked, this, [this] { ClosePort(); });
  connect(c->writeTable, &QPushButton::clicked, this, [this] {
    const QString path = ask_path_(tr("Tariff table to write"), QString(), false);
    if (!path.isEmpty()) WriteTableFrom(path);
  });
  connect(c->readTable, &QPushButton::clicked, this, [this] {
    const QString path = ask_path_(tr("Save the tariff table as"), QString(), true);
    if (!path.isEmpty()) ReadTableTo(path);
  });
  connect(connection_->refresh, &QPushButton::clicked, this,
          [this] { connection_->FillDevices(connection_->Device()); });
  connect(connection_->address, &QLineEdit::returnPressed, this, [this] { Read(); });
  connect(connection_->address, &QLineEdit::textChanged, this, [this] { UpdateTitle(); });
  connect(connection_->device, &QComboBox::currentTextChanged, this, [this] { UpdateTitle(); });
  // Line settings go to the control at once, as the control's own properties.
  connect(connection_->speed, &QComboBox::currentIndexChanged, this, [this] {
    if (Velmar* v = session_.control(); v != nullptr && !busy_) {
      v->CommSpeed(Variant(static_cast<std::int32_t>(connection_->Speed())));
    }
  });
  connect(connection_->rts, &QCheckBox::toggled, this, [this](bool on) {
    if (Velmar* v = session_.control(); v != nullptr && !busy_) v->RTSEnable(Variant(on));
  });
}

void MainWindow::RestoreSettings() {
  QSettings& s = session_.host().Settings();
  connection_->FillDevices(s.value(kGroup + "Device").toString());
  connection_->address->setText(s.value(kGroup + "Address", QStringLiteral("254")).toString());
  connection_->keepOpen->setChecked(s.value(kGroup + "KeepOpen", false).toBool());
  connection_->showErrors->setChecked(s.value(kGroup + "ShowErrors", true).toBool());
  restoreGeometry(s.value(kGroup + "Geometry").toByteArray());
  if (EnsureControl()) ShowLineOf(*session_.control());
}

void MainWindow::SaveSettings() {
  QSettings& s = session_.host().Settings();
  s.setValue(kGroup + "Device", connection_->Device());
  s.setValue(kGroup + "Address", connection_->address->text());
  s.setValue(kGroup + "KeepOpen", connection_->keepOpen->isChecked());
  s.setValue(kGroup + "ShowErrors", connection_->showErrors->isChecked());
  s.setValue(kGroup + "Geometry", saveGeometry());
  session_.Save();
}

// The panel shows the control's own settings (restored from the saved ones).
void MainWindow::ShowLineOf(Velmar& control) {
  const QSignalBlocker speed_quiet(connection_->speed);
  const QSignalBlocker rts_quiet(connection_->rts);
  const QString settings = QString::fromStdString(session_.port()->Settings());
  connection_->SetSpeed(settings.section(',', 0, 0).trimmed().toInt());
  connection_->rts->setChecked(control.RTSEnable().ToBool());
}

// A control for the device in the panel; made anew when the device changed. The panel's line
// settings win over the saved ones of the new control.
bool MainWindow::EnsureControl() {
  const QString device = connection_->Device();
  if (session_.control() != nullptr && session_.device() == device) return true;
  if (device.isEmpty()) {
    Complain(tr("Choose a device: a serial device, %1, or tcp://HOST:PORT")
                 .arg(QString::fromUtf8(kSimulatedDevice)));
    return false;
  }
  const bool first = !line_restored_;
  try {
    Velmar& v = session_.Open(device, connection_->Speed(), connection_->address);
    v.SetTraceCallback(trace_->Callback());
    v.SetProgressCallback(
        [this](int block, int blocks) { commands_->ShowTableProgress(block, blocks); });
    if (!first) {
      v.CommSpeed(Variant(static_cast<std::int32_t>(connection_->Speed())));
      v.RTSEnable(Variant(connection_->rts->isChecked()));
    }
    line_restored_ = true;
    return true;
  } catch (const std::exception& e) {
    Complain(tr("Cannot use the device %1: %2").arg(device, QString::fromUtf8(e.what())));
    return false;
  }
}

void MainWindow::UseSimulatedBus(int meters) {
  session_.SetSimulatedMeters(meters);
  if (session_.device() == QString::fromUtf8(kSimulatedDevice)) {
    session_.Shutdown();
    EnsureControl();
  }
}

void MainWindow::ApplyFlags(Velmar& control) {
  control.keepPortopen(connection_->keepOpen->isChecked());
  control.noErrorPopup(!connection_->showErrors->isChecked());
}

void MainWindow::Run(const QString& name, const std::function<QString(Velmar&)>& body) {
  if (busy_ || closing_ || !EnsureControl()) return;
  Velmar& control = *session_.control();
  ApplyFlags(control);
  busy_ = true;
  commands_->SetSendingEnabled(false);
  bus_pane_->SetSendingEnabled(false);
  connection_->setEnabled(false);
  SetStatus(name + tr("..."));
  QString outcome;
  try {
    outcome = body(control);
  } catch (const std::exception& e) {
    // A vanished device, a refused setting, or the window closing under the command.
    if (!closing_) Complain(name + ": " + QString::fromUtf8(e.what()));
    outcome = name + ": " + QString::fromUtf8(e.what());
  }
  busy_ = false;
  commands_->SetSendingEnabled(true);
  bus_pane_->SetSendingEnabled(true);
  connection_->setEnabled(true);
  SetStatus(outcome);
  if (closing_) FinishClose();
}

void MainWindow::Read() {
  const std::string address = connection_->address->text().trimmed().toStdString();
  if (const std::string why = tools::CheckReadAddress(address); !why.empty()) {
    return Complain(QString::fromStdString(why));
  }
  const Address target = *Address::Parse(address);
  const QString shown = QString::fromStdString(address);
  if (!busy_ && !closing_ && !EnsureControl()) {
    return ShowFailedRead(shown, tr("the device could not be used"));
  }
  if (target.secondary) return ReadThroughBus(target);
  Run(tr("Read"), [this, address, shown](Velmar& v) {
    v.txt_Adress().SetText(address);
    int result = 0;
    try {
      result = v.cmd_ReqUD2();
    } catch (const std::exception& e) {
      ShowFailedRead(shown, QString::fromUtf8(e.what()));
      throw;
    }
    if (result == ReadResult::kCouldNotInit) {
      ShowFailedRead(shown, tr("the port could not be opened"));
      return tr("Read: could not open the port");
    }
    // The control checked and decoded the reply; the panel shows the same walk of the bytes
    // it took, kept apart from the thread's store, and the standard records beside.
    const std::vector<std::uint8_t>& reply = session_.LastReply();
    const bool silent = result == ReadResult::kOk && v.Timeout();
    ShowRead(tools::MeterReadOf(reply, static_cast<std::int16_t>(result), silent),
             QString::fromStdString(address));
    if (silent) return tr("Read: no reply from the meter within 3.1 s");
    if (result != 0) {
      return ResultLine(tr("Read"), result,
                        MbusErrorText(static_cast<std::int16_t>(result)).c_str());
    }
    return tr("Read: %1 records").arg(last_read_->reading.records.size());
  });
}

void MainWindow::ShowRead(const tools::MeterRead& read, const QString& address) {
  last_read_ = read;
  const QDateTime now = QDateTime::currentDateTime();
  // Saved in UTC, to sort and join with other readings; shown in the desktop's own time.
  last_context_ = {address, now.toUTC().toString(Qt::ISODateWithMs)};
  values_->Show(read, address, QLocale().toString(now, QLocale::ShortFormat));
}

// Whatever ends a read, no value of an earlier one stays on screen or in what is saved.
void MainWindow::ShowFailedRead(const QString& address, const QString& why) {
  tools::MeterRead failed;
  failed.status = Status::kPortError;
  failed.error = why.toStdString();
  ShowRead(failed, address);
}

// A meter named by its identification number is selected and read by the bus master on the
// control's own port and loop; the control shows nothing of it, so failures get their box here.
void MainWindow::ReadThroughBus(const Address& target) {
  RunBus(tr("Read"), [this, target](velmar::Bus& bus) {
    const tools::MeterRead r = tools::ReadMeter(bus, target);
    ShowRead(r, QString::fromStdString(target.Text()));
    if (r.NoReply()) {
      return BusFailure(
          tr("Read: no meter answered at %1").arg(QString::fromStdString(target.Text())));
    }
    if (!r.Ok()) {
      BusFailure(QString::fromStdString(r.error));
      return ResultLine(tr("Read"), r.Code(), r.error.c_str());
    }
    return tr("Read: %1 records").arg(r.reading.records.size());
  });
}

// The bus master shows no box of its own: a failure gets one here when the user asked for boxes.
QString MainWindow::BusFailure(const QString& text) {
  if (connection_->showErrors->isChecked()) {
    session_.host().Messages().Show(text.toStdString(), std::string("Error"));
  }
  return text;
}

void MainWindow::RunBus(const QString& name, const std::function<QString(velmar::Bus&)>& body) {
  Run(name, [this, &body](Velmar& v) {
    velmar::Bus bus(session_.host().Events(), v.MSC_port(), bus_pane_->Options());
    bus.SetTraceCallback(trace_->Callback());
    QString outcome = body(bus);
    if (!connection_->keepOpen->isChecked()) bus.Close();
    return outcome;
  });
}

std::optional<Variant> MainWindow::WriteAddress() {
  const std::string address = connection_->address->text().trimmed().toStdString();
  if (const std::string why = tools::CheckAddress(address); !why.empty()) {
    Complain(QString::fromStdString(why) + tr(" (commands that write take a primary address)"));
    return std::nullopt;
  }
  return Variant(address);
}

void MainWindow::GivePassword() {
  std::string password = commands_->password->text().toStdString();
  const auto address = WriteAddress();
  if (!address) return;
  if (password.empty()) return Complain(tr("Enter the meter's password (1 to 8 characters)"));
  Run(tr("Password"), [&](Velmar& v) {
    const int r = v.givePassword(password, address);
    return ResultLine(tr("Password"), r,
                      r == PasswordResult::kCouldNotInit ? "could not open the port"
                      : r == PasswordResult::kNoReply    ? "no reply"
                                                         : "not acknowledged");
  });
}

void MainWindow::ChangePassword() {
  std::string password = commands_->newPassword->text().toStdString();
  const auto address = WriteAddress();
  if (!address) return;
  if (password.empty()) return Complain(tr("Enter the new password (1 to 8 characters)"));
  Run(tr("Change password"), [&](Velmar& v) {
    const int r = v.ChangePassword(password, address);
    return ResultLine(tr("Change password"), r, WriteMeaning(r));
  });
}

void MainWindow::SetClock() {
  const auto address = WriteAddress();
  if (!address) return;
  std::string text = tools::LocalClockText();
  if (commands_->typedClock->isChecked()) {
    text = commands_->clockText->text().trimmed().toStdString();
    if (const std::string why = tools::CheckSetTimeText(text); !why.empty()) {
      return Complain(QString::fromStdString(why));
    }
    if (text == "now") text = tools::LocalClockText();
  }
  const bool standard = commands_->StandardClock();
  Run(tr("Set clock"), [&](Velmar& v) {
    const int r = standard ? v.SetDateTimeStd(text, address) : v.SetDateTime(text, address);
    return ResultLine(tr("Set clock"), r,
                      r == ClockResult::kWrongLength ? "wrong length" : "not acknowledged");
  });
}

void MainWindow::Lock() {
  const auto address = WriteAddress();
  if (!address) return;
  auto mode = static_cast<std::uint8_t>(commands_->lockMode->value());
  Run(tr("Lock"), [&](Velmar& v) {
    const int r = v.LockMeter(mode, address);
    return ResultLine(tr("Lock"), r, WriteMeaning(r));
  });
}

bool MainWindow::WriteTableFrom(const QString& path) {
  const auto address = WriteAddress();
  if (!address) return false;
  // The meter takes a table only after its password: the one typed beside is presented first.
  std::string password = commands_->password->text().toStdString();
  if (password.empty()) {
    Complain(tr("Enter the meter's password: it is presented before the table is written"));
    return false;
  }
  std::vector<std::uint8_t> table;
  try {
    table = tools::ReadTableFile(path.toStdString(), false);
  } catch (const std::exception& e) {
    Complain(QString::fromUtf8(e.what()));
    return false;
  }
  bool ok = false;
  commands_->ShowTableProgress(-1, 0);
  Run(tr("Write table"), [&](Velmar& v) {
    const int given = v.givePassword(password, address);
    if (given != 0) {
      return ResultLine(tr("Write table: the password"), given,
                        given == PasswordResult::kCouldNotInit ? "could not open the port"
                        : given == PasswordResult::kNoReply    ? "no reply"
                                                               : "not acknowledged");
    }
    auto length = static_cast<std::int32_t>(table.size());
    const int r = v.SetIntervals(table, length, address);
    ok = r == 0;
    // What the meter now holds is what the Tariff table tab shows.
    if (ok) table_view_->setPlainText(HexView(table));
    return ResultLine(
        tr("Write table"), r,
        r == SetIntervalsResult::kTableTooLarge ? "table too large" : "block not confirmed");
  });
  return ok;
}

bool MainWindow::ReadTableTo(const QString& path) {
  const auto address = WriteAddress();
  if (!address) return false;
  bool ok = false;
  Run(tr("Read table"), [&](Velmar& v) {
    std::vector<std::uint8_t> table(399);
    std::int32_t length = 0;
    const int r = v.ReadIntervals(table, length, address);
    if (r != 0) {
      return ResultLine(tr("Read table"), r,
                        r == ReadIntervalsResult::kCouldNotInit      ? "could not open the port"
                        : r == ReadIntervalsResult::kNoReply         ? "no reply"
                        : r == ReadIntervalsResult::kNotAcknowledged ? "not acknowledged"
                                                                     : "data request failed");
    }
    table.resize(static_cast<std::size_t>(length));
    table_view_->setPlainText(HexView(table));
    tools::WriteTableFile(path.toStdString(), table);
    ok = true;
    return tr("Read table: %1 bytes written to %2").arg(length).arg(path);
  });
  return ok;
}

void MainWindow::ClosePort() {
  Run(tr("Close port"), [](Velmar& v) {
    const int r = v.closePort();
    return ResultLine(tr("Close port"), r, "the port refused to close");
  });
}

void MainWindow::UpdateTitle() {
  const QString device = connection_->Device();
  setWindowTitle(device.isEmpty() ? tr("Velmar meter tool")
                                  : tr("%1, address %2 - Velmar meter tool")
                                        .arg(device, connection_->address->text().trimmed()));
}

void MainWindow::Complain(const QString& text) {
  SetStatus(text);
  QMessageBox::warning(this, tr("Velmar meter tool"), text);
}

void MainWindow::SetStatus(const QString& text) {
  last_result_ = text;
  statusBar()->showMessage(text);
}

// Closing while a command waits: the command ends at its next event pass as if the port had
// gone, and the window closes once it has unwound.
void MainWindow::closeEvent(QCloseEvent* event) {
  if (busy_) {
    // The window stays visible until then: closing a hidden window would not end the program.
    closing_ = true;
    session_.host().Events().Abort(tr("the window was closed"));
    event->ignore();
    return;
  }
  SaveSettings();
  session_.Shutdown();
  event->accept();
}

void MainWindow::FinishClose() {
  session_.host().Events().Resume();
  closing_ = false;
  close();
}

}  // namespace velmar::gui
