// The window's bus commands: scan, read the selected meter, give it a new primary address or
// baud rate. Each runs through the bus master on the control's port and loop, as one command.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSpinBox>
#include <QTableWidget>

#include "bus_pane.hpp"
#include "connection_panel.hpp"
#include "main_window.hpp"

namespace velmar::gui {
namespace {

// The scanner the window's Stop reaches, while a scan runs.
struct ScannerInUse {
  ScannerInUse(BusScanner*& slot, BusScanner& scanner) : slot_(slot) { slot_ = &scanner; }
  ~ScannerInUse() { slot_ = nullptr; }
  ScannerInUse(const ScannerInUse&) = delete;
  ScannerInUse& operator=(const ScannerInUse&) = delete;
  BusScanner*& slot_;
};

QString AddressText(const Address& a) {
  return QString::fromStdString(a.Text());
}

}  // namespace

void MainWindow::ConnectBusPane() {
  BusPane* p = bus_pane_;
  connect(p->scan, &QPushButton::clicked, this, [this] { Scan(); });
  connect(p->stop, &QPushButton::clicked, this, [this] { StopScan(); });
  connect(p->readSelected, &QPushButton::clicked, this, [this] { ReadSelected(); });
  connect(p->setAddress, &QPushButton::clicked, this, [this] { SetSelectedAddress(); });
  connect(p->setSpeed, &QPushButton::clicked, this, [this] { SetSelectedSpeed(); });
  connect(p->found, &QTableWidget::cellDoubleClicked, this, [this] { ReadSelected(); });
}

bool MainWindow::Confirmed(const QString& what) {
  return confirm_ && confirm_(what);
}

void MainWindow::Scan() {
  BusPane* p = bus_pane_;
  const bool primary = p->primary->isChecked();
  const int first = p->first->value(), last = p->last->value();
  std::string why;
  const auto pattern = SearchPattern::Parse(p->pattern->text().trimmed().toStdString(), &why);
  if (primary && first > last) {
    return Complain(tr("The scan range runs backwards: the first address (%1) must not be above "
                       "the last (%2); addresses are 0-250")
                        .arg(first)
                        .arg(last));
  }
  if (!primary && !pattern) return Complain(QString::fromStdString(why));
  RunBus(tr("Scan"), [&](velmar::Bus& bus) {
    BusScanner scanner(bus);
    const ScannerInUse in_use(scanner_, scanner);
    scanner.SetFoundCallback([p](const FoundMeter& m) { p->AddFound(m); });
    scanner.SetProgressCallback([p](int done, int total) { p->Progress(done, total); });
    p->ScanStarted();
    std::vector<FoundMeter> found;
    try {
      found = primary ? scanner.ScanPrimary(first, last) : scanner.SearchSecondary(*pattern);
    } catch (...) {
      p->ScanEnded();
      throw;
    }
    p->ScanEnded();
    const auto meters =
        std::count_if(found.begin(), found.end(), [](const FoundMeter& m) { return !m.collision; });
    return tr("Scan: %1 meters found").arg(meters);
  });
}

void MainWindow::StopScan() {
  if (scanner_ != nullptr) scanner_->RequestStop();
}

void MainWindow::ReadSelected() {
  const auto target = bus_pane_->Selected();
  if (!target)
    return Complain(tr("Select a meter in the table first (a collision cannot be read)"));
  ReadThroughBus(*target);
}

void MainWindow::SetSelectedAddress() {
  const auto target = bus_pane_->Selected();
  if (!target) return Complain(tr("Select a meter in the table first"));
  const auto next = static_cast<std::uint8_t>(bus_pane_->newAddress->value());
  if (!target->secondary && target->primary == next) {
    return Complain(
        tr("The meter already has primary address %1; choose another (0-250)").arg(next));
  }
  const QString what =
      tr("Give the meter at %1 the primary address %2?\n\nThis sends SND_UD with CI 0x51 and "
         "the record 01 7A %3 to it; afterwards it answers only at %2. A meter that already "
         "answers at %2 stops this before anything is changed.")
          .arg(AddressText(*target))
          .arg(next)
          .arg(next, 2, 16, QChar('0'));
  if (!Confirmed(what)) return SetStatus(tr("Set address: cancelled, nothing sent"));
  RunBus(tr("Set address"), [&](velmar::Bus& bus) {
    if (BusScanner(bus).Occupied(static_cast<std::uint8_t>(next))) {
      return BusFailure(
          tr("Set address: a meter already answers at %1; nothing changed").arg(next));
    }
    const Status r = bus.SetPrimaryAddress(*target, next);
    if (r != Status::kOk) {
      return BusFailure(
          tr("Set address: failed (%1)").arg(QString::fromUtf8(StatusText(r).data())));
    }
    bus_pane_->MovedTo(next);
    return tr("Set address: the meter at %1 now answers at %2").arg(AddressText(*target)).arg(next);
  });
}

void MainWindow::SetSelectedSpeed() {
  const auto target = bus_pane_->Selected();
  if (!target) return Complain(tr("Select a meter in the table first"));
  const int baud = bus_pane_->newSpeed->currentData().toInt();
  const QString what =
      tr("Switch the meter at %1 to %2 baud?\n\nThis sends SND_UD with the CI field for %2 "
         "baud; the meter acknowledges at the old speed, then answers only at %2 baud, and this "
         "window's port follows.")
          .arg(AddressText(*target))
          .arg(baud);
  if (!Confirmed(what)) return SetStatus(tr("Set baud rate: cancelled, nothing sent"));
  bool switched = false;
  RunBus(tr("Set baud rate"), [&](velmar::Bus& bus) {
    const Status r = bus.SetBaudRate(*target, baud);
    switched = r == Status::kOk;
    if (!switched) {
      return BusFailure(
          tr("Set baud rate: failed (%1)").arg(QString::fromUtf8(StatusText(r).data())));
    }
    return tr("Set baud rate: the meter at %1 now answers at %2 baud")
        .arg(AddressText(*target))
        .arg(baud);
  });
  if (switched) {
    connection_->SetSpeed(baud);  // the control's line follows through the panel
  }
}

}  // namespace velmar::gui
