// The Qt host and the desktop tool with real widgets (offscreen) against the simulated meter on
// a pseudo-terminal: what a technician sees after each command, the control's message boxes,
// saved settings, the tariff table to and from files, and closing the window mid-read.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <thread>

#include "bus_pane.hpp"
#include "command_panel.hpp"
#include "connection_panel.hpp"
#include "line_peers.hpp"
#include "main_window.hpp"
#include "meter_model.hpp"
#include "trace_pane.hpp"
#include "velmar/bus.hpp"
#include "velmar/posix_platform.hpp"
#include "velmar/qt.hpp"

using velmar::gui::MainWindow;
using velmar::gui::WithFilterSuffix;

namespace {

struct SeenBox {
  QString title;
  QString text;
};

// Boxes that opened while no test expected one: closed at once by the guard below, so a test
// that goes wrong fails within seconds instead of waiting for a person.
std::vector<SeenBox> g_unexpected;
int g_closers = 0;

// Answers every modal box that opens (as a person pressing OK) and remembers what it said.
class BoxCloser {
 public:
  BoxCloser() {
    ++g_closers;
    timer_.setInterval(20);
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        seen.push_back({box->windowTitle(), box->text()});
        box->accept();
      }
    });
    timer_.start();
  }
  ~BoxCloser() { --g_closers; }
  std::vector<SeenBox> seen;

 private:
  QTimer timer_;
};

// Runs through every test: any box no BoxCloser is there for is noted and closed.
class UnexpectedBoxGuard {
 public:
  UnexpectedBoxGuard() {
    timer_.setInterval(200);
    QObject::connect(&timer_, &QTimer::timeout, [] {
      if (g_closers > 0) return;
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        g_unexpected.push_back({box->windowTitle(), box->text()});
        box->reject();
      }
    });
    timer_.start();
  }

 private:
  QTimer timer_;
};

// A gateway on loopback that acknowledges the link reset, sends the first `cut` bytes of its
// answer to the data request and closes the connection.
class DroppingGateway {
 public:
  explicit DroppingGateway(std::size_t cut) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener_, 1);
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    thread_ = std::thread([this, cut] {
      const int c = ::accept(listener_, nullptr, nullptr);
      if (c < 0) return;
      velmar::sim::SimMeter meter;
      std::uint8_t buf[64];
      for (int frames = 0; frames < 2;) {
        const ssize_t n = ::read(c, buf, sizeof buf);
        if (n <= 0) break;
        frames += static_cast<int>(n / 5);  // two short frames: link reset, data request
        if (frames == 1) {
          const std::uint8_t ack = 0xE5;
          [[maybe_unused]] auto w = ::write(c, &ack, 1);
        }
      }
      const auto telegram = meter.DataTelegram();
      [[maybe_unused]] auto w = ::write(c, telegram.data(), std::min(cut, telegram.size()));
      ::close(c);
    });
  }
  ~DroppingGateway() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  std::uint16_t port = 0;

 private:
  int listener_ = -1;
  std::thread thread_;
};

std::unique_ptr<QSettings> SettingsIn(const QTemporaryDir& dir) {
  return std::make_unique<QSettings>(dir.filePath("velmar-gui.ini"), QSettings::IniFormat);
}

// Descriptors of this process that are open on `path`.
int DescriptorsOn(const std::string& path) {
  int count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code ec;
    if (std::filesystem::read_symlink(entry.path(), ec).string() == path) ++count;
  }
  return count;
}

QByteArray ReadAll(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// A window on a simulated bus of `meters` meters at 9600 baud, answering every question to go
// ahead with `go` and every file question with "".
std::unique_ptr<MainWindow> BusWindow(const QTemporaryDir& dir, int meters, bool go = true) {
  auto w = std::make_unique<MainWindow>(SettingsIn(dir));
  w->Connection()->SetSpeed(9600);
  w->UseSimulatedBus(meters);
  w->SetConfirm([go](const QString&) { return go; });
  w->SetAskPath([](const QString&, const QString&, bool) { return QString(); });
  return w;
}

// One CSV line into its fields: commas separate, quotes enclose, doubled quotes stand for one.
QStringList CsvFields(const QString& line) {
  QStringList fields(QString{});
  bool quoted = false;
  for (int i = 0; i < line.size(); ++i) {
    const QChar c = line[i];
    if (quoted && c == '"' && i + 1 < line.size() && line[i + 1] == '"') {
      fields.back() += '"';
      ++i;
    } else if (c == '"') {
      quoted = !quoted;
    } else if (c == ',' && !quoted) {
      fields << QString();
    } else {
      fields.back() += c;
    }
  }
  return fields;
}

}  // namespace

class GuiTest : public QObject {
  Q_OBJECT

 private slots:
  void init() { g_unexpected.clear(); }
  void cleanup() {
    for (const SeenBox& b : g_unexpected) {
      qWarning("unexpected box \"%s\": %s", qPrintable(b.title), qPrintable(b.text));
    }
    QVERIFY2(g_unexpected.empty(), "a message box opened that the test did not expect");
  }

  void readFillsTheValuesRecordsAndTrace() {
    QTemporaryDir dir;
    MainWindow w(SettingsIn(dir));
    w.show();
    w.Read();
    QCOMPARE(w.Values().ValueOf("Meter ID"), QString("12345678"));
    QCOMPARE(w.Values().ValueOf("Manufacturer"), QString("ORV"));
    QCOMPARE(w.Values().ValueOf("Energy"), QString("12345.67"));
    QCOMPARE(w.Values().ValueOf("Energy tariff 2"), QString("4000.50"));
    // Only what the meter has: no tariff 0 or 5, no relay it does not report.
    QCOMPARE(w.Values().ValueOf("Energy tariff 5"), QString());
    QCOMPARE(w.Values().ValueOf("Relay 0"), QString("on"));
    QCOMPARE(w.Values().ValueOf("Relay 1"), QString("off"));
    QCOMPARE(w.Values().ValueOf("Relay 2"), QString());
    QCOMPARE(w.Values().ValueOf("Voltage L2"), QString("229.8"));
    QCOMPARE(w.Values().ValueOf("Current L3"), QString("3.46"));
    QCOMPARE(w.Values().ValueOf("Error flags"), QString("bit 2, bit 8  (0x0000000000000104)"));
    QCOMPARE(
        w.Values().ValueOf("Meter time"),
        QLocale().toString(QDateTime(QDate(2026, 12, 5), QTime(14, 30)), QLocale::ShortFormat));
    QVERIFY(w.Values().records->rowCount() > 10);
    const QString trace = w.Trace()->Text();
    QVERIFY(trace.contains(" > 10 40 FE 3E 16"));  // the link reset of address 254
    QVERIFY(trace.contains(" < 68 C3 C3 68"));
    QVERIFY(w.windowTitle().contains("Simulated meter, address 254"));
    QVERIFY(w.LastResult().startsWith("Read: "));
    QVERIFY(w.Commands()->read->isEnabled());
  }

  // A meter with a profile (here a user's, for the simulated meter's maker) shows its fields
  // under the profile's labels and the alarms the profile names.
  void aProfileNamesTheMetersValuesInThePane() {
    QTemporaryDir dir;
    const QString folder = dir.path() + "/velmar/profiles";
    QVERIFY(QDir().mkpath(folder));
    QFile file(folder + "/orv.toml");
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(
        "name = \"test-orv\"\ntitle = \"t\"\nsource = \"the test\"\n[match]\n"
        "manufacturer = \"ORV\"\n[[fields]]\nname = \"import\"\nlabel = \"Energy "
        "imported\"\nquantity = \"energy\"\n[[flags]]\nname = \"trouble\"\nmeaning = "
        "\"m\"\nsource = \"s\"\nfrom = \"status\"\nmask = 0xFF\n");
    file.close();
    const QByteArray before = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
    MainWindow w(SettingsIn(dir));
    qputenv("XDG_CONFIG_HOME", before);
    w.Read();
    QCOMPARE(w.Values().ValueOf("Energy imported"), w.Values().ValueOf("Energy"));
    QCOMPARE(w.Values().ValueOf("Energy imported"), QString("12345.67"));
    QCOMPARE(w.Values().ValueOf("Alarms"), QString("none"));
  }

  // A failed read empties the values (nothing stale or damaged stays) and says in the panel what
  // failed and where; the control's box comes unless the user turned boxes off.
  void checksumFaultShowsTheControlsBoxUnlessSuppressed() {
    QTemporaryDir dir;
    MainWindow w(SettingsIn(dir));
    w.Read();
    QCOMPARE(w.Values().ValueOf("Meter ID"), QString("12345678"));
    QVERIFY(w.Values().Failure().isEmpty());
    auto* meter = w.Session().simulator();
    meter->InjectFault({velmar::sim::FaultKind::kNone});
    meter->InjectFault({velmar::sim::FaultKind::kBadChecksum});
    {
      BoxCloser boxes;
      w.Read();
      QCOMPARE(boxes.seen.size(), 1u);
      QCOMPARE(boxes.seen[0].title, QString("Error"));
      QCOMPARE(boxes.seen[0].text, QString("Communication error. Checksum error in message."));
    }
    QVERIFY(w.LastResult().contains("(-4)"));
    QCOMPARE(w.Values().ValueOf("Meter ID"), QString());
    QCOMPARE(w.Values().values->rowCount(), 0);
    QCOMPARE(w.Values().records->rowCount(), 0);
    QVERIFY(w.Values().Failure().startsWith("The read of 254 failed at "));
    QVERIFY(w.Values().Failure().endsWith("(-4): Communication error. Checksum error in message."));
    w.Connection()->showErrors->setChecked(false);
    meter->InjectFault({velmar::sim::FaultKind::kNone});
    meter->InjectFault({velmar::sim::FaultKind::kBadChecksum});
    BoxCloser boxes;
    w.Read();
    QCOMPARE(boxes.seen.size(), 0u);
    QVERIFY(w.LastResult().contains("(-4)"));
  }

  void settingsSurviveARestartOfTheWindow() {
    QTemporaryDir dir;
    {
      MainWindow w(SettingsIn(dir));
      w.Connection()->SetSpeed(9600);
      w.Connection()->rts->setChecked(true);
      w.Connection()->address->setText("5");
      w.Connection()->keepOpen->setChecked(true);
      w.show();
      QVERIFY(w.close());
    }
    MainWindow again(SettingsIn(dir));
    QCOMPARE(again.Connection()->Speed(), 9600);
    QVERIFY(again.Connection()->rts->isChecked());
    QCOMPARE(again.Connection()->address->text(), QString("5"));
    QVERIFY(again.Connection()->keepOpen->isChecked());
    // Restored by the control itself, through its saved properties.
    QVERIFY(again.Session().port()->Settings().starts_with("9600"));
    QVERIFY(again.Session().control()->RTSEnable().ToBool());
  }

  void tariffTableGoesToTheMeterAndBackByteForByte() {
    QTemporaryDir dir;
    MainWindow w(SettingsIn(dir));
    QByteArray table;
    for (int i = 0; i < 240; ++i) table.append(static_cast<char>(1 + i % 200));
    QFile out(dir.filePath("table.bin"));
    QVERIFY(out.open(QIODevice::WriteOnly));
    out.write(table);
    out.close();
    // Nothing sent yet: the progress says so, not "block 0 of 2".
    QCOMPARE(w.Commands()->tableProgress->text(), QString("no table sent yet"));
    // Without a password typed the write says it needs one, and sends nothing.
    {
      BoxCloser boxes;
      const QString before = w.Trace()->Text();
      QVERIFY(!w.WriteTableFrom(dir.filePath("table.bin")));
      QCOMPARE(boxes.seen.size(), 1u);
      QCOMPARE(w.Trace()->Text(), before);
    }
    // The password typed beside is presented first (no Present password pressed), and the
    // Tariff table tab shows what the meter now holds.
    w.Commands()->password->setText("00000000");
    QVERIFY(w.WriteTableFrom(dir.filePath("table.bin")));
    QCOMPARE(w.Commands()->tableProgress->maximum(), 2);
    QCOMPARE(w.Commands()->tableProgress->value(), 2);
    QVERIFY(w.TableView()->toPlainText().startsWith("0000  01 02 03"));
    w.TableView()->clear();
    QVERIFY(w.ReadTableTo(dir.filePath("back.bin")));
    QCOMPARE(ReadAll(dir.filePath("back.bin")), table);
    QVERIFY(w.TableView()->toPlainText().startsWith("0000  01 02 03"));
    QVERIFY(w.TableView()->toPlainText().contains("\n00E0  19 1A"));
  }

  void closingDuringAReadEndsItAndLeavesNoDescriptor() {
    int master = -1;
    int slave = -1;
    QVERIFY(openpty(&master, &slave, nullptr, nullptr, nullptr) == 0);
    const std::string path = ttyname(slave);
    ::close(slave);  // nobody answers on this line: the read would wait 3.1 s
    QTemporaryDir dir;
    {
      MainWindow w(SettingsIn(dir));
      w.Connection()->device->setCurrentText(QString::fromStdString(path));
      w.show();
      QTimer::singleShot(300, &w, [&w] { w.close(); });
      w.Read();
      QVERIFY(!w.isVisible());
      QVERIFY(w.LastResult().contains("the window was closed"));
      QCOMPARE(w.Session().control(), nullptr);
      QCOMPARE(DescriptorsOn(path), 0);
    }
    ::close(master);
  }

  void badInputGetsADialogAndNothingIsSent() {
    QTemporaryDir dir;
    MainWindow w(SettingsIn(dir));
    BoxCloser boxes;
    w.GivePassword();  // empty password
    w.Commands()->newPassword->setText("1234");
    w.Connection()->address->setText("300");
    w.ChangePassword();
    w.Connection()->address->setText("254");
    w.Commands()->typedClock->setChecked(true);
    w.Commands()->clockText->setText("1200");
    w.SetClock();
    QVERIFY(!w.WriteTableFrom(dir.path()));  // a folder, not a table
    QCOMPARE(boxes.seen.size(), 4u);
    QVERIFY(boxes.seen[0].text.contains("password"));
    QVERIFY(boxes.seen[1].text.contains("300"));
    QVERIFY(boxes.seen[2].text.contains("1200"));
    QVERIFY(w.Trace()->Text().isEmpty());
    w.Read();  // and the window still works
    QCOMPARE(w.Values().ValueOf("Meter ID"), QString("12345678"));
  }

  void aVanishedDeviceIsReportedAndTheWindowGoesOn() {
    QTemporaryDir dir;
    MainWindow w(SettingsIn(dir));
    w.Connection()->keepOpen->setChecked(true);
    w.Read();
    QCOMPARE(w.Values().ValueOf("Meter ID"), QString("12345678"));
    w.Session().simulatorLine()->Unplug();
    BoxCloser boxes;
    w.Read();
    QVERIFY(!boxes.seen.empty());
    QVERIFY(w.Commands()->read->isEnabled());
    QVERIFY(!w.Busy());
  }

  void hostSavesAndRestoresThroughQSettings() {
    QTemporaryDir dir;
    {
      velmar::qt::Host host(SettingsIn(dir), "Meter7");
      QVERIFY(!host.HasSavedSettings());
      velmar::Velmar v(host.Services(), host.SerialPort("/dev/null"), host.AddressField(nullptr));
      v.InitProperties();
      v.CommSpeed(velmar::Variant(std::int32_t{4800}));
      v.RTSEnable(velmar::Variant(true));
      QVERIFY(host.ContainerOf().SettingsChanged());
      v.WriteProperties(host.Properties());
      host.Settings().sync();
    }
    velmar::qt::Host host(SettingsIn(dir), "Meter7");
    QVERIFY(host.HasSavedSettings());
    velmar::Velmar v(host.Services(), host.SerialPort("/dev/null"));
    v.ReadProperties(host.Properties());
    QVERIFY(v.MSC_port().Settings().starts_with("4800"));
    QVERIFY(v.RTSEnable().ToBool());
  }

  void hostAddressFieldReadsTheFormAndOutlivesIt() {
    velmar::qt::Host host(std::make_unique<QSettings>());
    auto* edit = new QLineEdit("17");
    auto field = host.AddressField(edit);
    QCOMPARE(field->Text(), std::string("17"));
    edit->setText("3");
    QCOMPARE(field->Text(), std::string("3"));
    delete edit;
    QCOMPARE(field->Text(), std::string("254"));
    QVERIFY_THROWS_EXCEPTION(velmar::ArgumentError, host.SerialPort("tcp://host:0"));
  }

  // A gateway that closes the connection in the middle of a reply: the Qt loop has no
  // POLLRDHUP, so the port must see the end of the stream in its zero-byte read and end the
  // exchange with the port error, not wait out the reply as a damaged one.
  void gatewayClosingMidReplyEndsTheReadUnderTheQtLoop() {
    DroppingGateway gateway(40);
    velmar::qt::QtEventLoop loop;
    velmar::posix::TcpGatewayPort port(loop, "127.0.0.1", gateway.port);
    velmar::BusOptions once;
    once.retries = 0;
    velmar::Bus bus(loop, port, once);
    const velmar::Reading r = bus.Read(velmar::Address::Primary(1));
    QCOMPARE(static_cast<int>(r.result), static_cast<int>(velmar::Status::kPortError));
    QVERIFY2(bus.PortFailure().find(std::to_string(gateway.port)) != std::string::npos,
             bus.PortFailure().c_str());
    QVERIFY(!port.PortOpen());
  }

  // An abort raised by a handler while a pass runs ends that very pass, not a later one.
  void anAbortDuringAPassEndsThatPass() {
    velmar::qt::QtEventLoop loop;
    bool aborted = false;
    auto timer = loop.CreateTimer([&] {
      loop.Abort("the window is closing");
      aborted = true;
    });
    timer->SetInterval(5);
    timer->SetEnabled(true);
    bool thrown = false;
    for (int pass = 0; pass < 1000 && !thrown; ++pass) {
      try {
        loop.WaitForEvents();
      } catch (const velmar::PortError& e) {
        thrown = true;
        QCOMPARE(QString(e.what()), QString("the window is closing"));
      }
      QVERIFY2(thrown || !aborted, "the pass that raised the abort returned normally");
    }
    QVERIFY(thrown);
  }

  // A meter named by its identification number is read by the bus master on the window's
  // port; the panel shows it as any read.
  void readByIdentificationNumberGoesThroughTheBus() {
    QTemporaryDir dir;
    MainWindow w(SettingsIn(dir));
    w.Connection()->address->setText("12345678");
    w.Read();
    QCOMPARE(w.Values().ValueOf("Meter ID"), QString("12345678"));
    QCOMPARE(w.Values().ValueOf("Energy"), QString("12345.67"));
    QVERIFY(w.Trace()->Text().contains(" > 68 0B 0B 68 53 FD 52"));  // the selection
    // Nobody answers: the values go, and the failure is said in a box, as the window is set to
    // show failures in boxes.
    w.Connection()->address->setText("87654321");
    BoxCloser boxes;
    w.Read();
    QCOMPARE(w.Values().ValueOf("Meter ID"), QString());
    QVERIFY(w.LastResult().contains("87654321"));
    QVERIFY(w.Values().Failure().contains("87654321"));
    QCOMPARE(boxes.seen.size(), 1u);
  }

  // The bus pane finds a simulated bus of 10 meters, and Stop ends a long scan early with what
  // was found; a backwards range is refused with a dialog and nothing sent.
  void scanFindsTheBusAndStopsOnStop() {
    QTemporaryDir dir;
    auto w = BusWindow(dir, 10);
    velmar::gui::BusPane* pane = w->BusTab();
    pane->first->setValue(0);
    pane->last->setValue(10);
    w->Scan();
    QCOMPARE(pane->found->rowCount(), 10);
    QCOMPARE(pane->found->item(2, 0)->text(), QString("3"));
    QCOMPARE(pane->found->item(2, 1)->text(), QString("12345603"));
    QCOMPARE(pane->found->item(2, 2)->text(), QString("ORV"));
    QCOMPARE(pane->found->item(2, 4)->text(), QString("Electricity"));
    QCOMPARE(pane->progress->value(), 11);
    QVERIFY(w->LastResult().contains("10 meters found"));

    pane->last->setValue(250);
    QTimer::singleShot(1500, pane->stop, [pane] { pane->stop->click(); });
    QElapsedTimer took;
    took.start();
    w->Scan();
    QVERIFY2(took.elapsed() < 15000, "Stop did not end the scan");
    QVERIFY(pane->progress->value() < 200);
    QVERIFY(pane->scan->isEnabled());
    QVERIFY(!pane->stop->isEnabled());

    BoxCloser boxes;
    const QString before = w->Trace()->Text();
    pane->first->setValue(20);
    pane->last->setValue(10);
    w->Scan();
    QCOMPARE(boxes.seen.size(), 1u);
    QVERIFY(boxes.seen[0].text.contains("backwards"));
    QCOMPARE(w->Trace()->Text(), before);
  }

  // The found list says each meter's address as it is: an identification number with all eight
  // digits (42 alone is primary address 42 everywhere else), and a meter that answered at
  // primary address 0 is read there, while one found by its number is read by the number.
  void theFoundListKeepsPrimaryAndSecondaryAddressesApart() {
    QTemporaryDir dir;
    auto w = BusWindow(dir, 1);
    velmar::gui::BusPane* pane = w->BusTab();
    velmar::FoundMeter at0;
    at0.primaryAddress = 0;
    at0.identNumber = 42;
    at0.manufacturer = {'O', 'R', 'V', '\0'};
    velmar::FoundMeter byNumber = at0;
    byNumber.primaryAddress = -1;
    velmar::FoundMeter unreadable = at0;
    unreadable.primaryAddress = 7;
    unreadable.readable = false;
    for (const auto& m : {at0, byNumber, unreadable}) pane->AddFound(m);
    QCOMPARE(pane->found->item(0, 1)->text(), QString("00000042"));
    QCOMPARE(pane->found->item(1, 1)->text(), QString("00000042"));
    QCOMPARE(pane->found->item(2, 1)->text(), QString("00000042"));
    pane->found->selectRow(0);
    QVERIFY(pane->Selected() == velmar::Address::Primary(0));
    pane->found->selectRow(1);
    QVERIFY(pane->Selected() == velmar::Address::Ident(42));
  }

  // The meters a scan found are saved with a header row, one meter a row.
  void theMetersFoundAreSavedAsATable() {
    QTemporaryDir dir;
    auto w = BusWindow(dir, 3);
    BoxCloser boxes;
    QVERIFY(!w->SaveFoundMeters(dir.filePath("none.csv")));  // nothing scanned yet
    QCOMPARE(boxes.seen.size(), 1u);
    w->BusTab()->last->setValue(3);
    w->Scan();
    QCOMPARE(w->BusTab()->found->rowCount(), 3);
    QVERIFY(w->SaveFoundMeters(dir.filePath("found.csv")));
    const QStringList lines =
        QString::fromUtf8(ReadAll(dir.filePath("found.csv"))).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4);
    QVERIFY2(lines[0].startsWith("Address,Identification number,Manufacturer"),
             qPrintable(lines[0]));
    QVERIFY2(lines[2].startsWith("2,12345602,ORV"), qPrintable(lines[2]));
  }

  void readingASelectedRowByIdentificationNumber() {
    QTemporaryDir dir;
    auto w = BusWindow(dir, 5);
    velmar::gui::BusPane* pane = w->BusTab();
    pane->secondary->setChecked(true);
    pane->pattern->setText("12345603");
    w->Scan();
    QCOMPARE(pane->found->rowCount(), 1);
    QCOMPARE(pane->found->item(0, 0)->text(), QString("-"));
    pane->found->selectRow(0);
    w->ReadSelected();
    QCOMPARE(w->Values().ValueOf("Meter ID"), QString("12345603"));
    QVERIFY(w->Trace()->Text().contains(" > 68 0B 0B 68 53 FD 52 03 56 34 12"));
  }

  // Set address: the question says what will be sent; No sends nothing; Yes gives the simulated
  // meter its new address and the table shows it.
  void setAddressIsSeenOnTheSimulatedMeter() {
    QTemporaryDir dir;
    auto w = BusWindow(dir, 3, false);
    velmar::gui::BusPane* pane = w->BusTab();
    pane->last->setValue(3);
    w->Scan();
    QCOMPARE(pane->found->rowCount(), 3);
    pane->found->selectRow(1);
    pane->newAddress->setValue(40);
    QString asked;
    w->SetConfirm([&asked](const QString& what) {
      asked = what;
      return false;
    });
    const QString before = w->Trace()->Text();
    w->SetSelectedAddress();
    QVERIFY(asked.contains("primary address 40"));
    QVERIFY(asked.contains("01 7A 28"));
    QCOMPARE(w->Trace()->Text(), before);
    QCOMPARE(w->Session().simulator(2)->config().primaryAddress, 2);
    w->SetConfirm([](const QString&) { return true; });
    w->SetSelectedAddress();
    QCOMPARE(w->Session().simulator(2)->config().primaryAddress, 40);
    QCOMPARE(pane->found->item(1, 0)->text(), QString("40"));
    QVERIFY(w->LastResult().contains("now answers at 40"));

    // Another meter is refused the taken address, in a box as the window is set to show
    // failures in boxes.
    {
      BoxCloser boxes;
      pane->found->selectRow(0);
      w->SetSelectedAddress();
      QVERIFY(w->LastResult().contains("already answers at 40"));
      QCOMPARE(boxes.seen.size(), 1u);
      QCOMPARE(w->Session().simulator(1)->config().primaryAddress, 1);
      pane->found->selectRow(1);
    }

    // Its baud rate next: the meter listens at the new speed, the window's port follows, and
    // the meter is read there.
    pane->newSpeed->setCurrentText("2400");
    w->SetSelectedSpeed();
    QCOMPARE(w->Session().simulator(2)->config().baud, 2400);
    QCOMPARE(w->Connection()->Speed(), 2400);
    w->ReadSelected();
    QCOMPARE(w->Values().ValueOf("Meter ID"), QString("12345602"));
  }

  // Ctrl+C in the records copies every record (none selected) as one line with its unit; the
  // reading saved as CSV reads back field by field, as JSON with the keys of read --json; a file
  // that cannot be written is refused whole.
  void copyAndExportGiveEveryRecordWithItsUnit() {
    QTemporaryDir dir;
    MainWindow w(SettingsIn(dir));
    w.show();
    w.Read();
    QTableWidget* records = w.Values().records;
    const int rows = records->rowCount();
    QVERIFY(rows > 20);
    w.Tabs()->setCurrentWidget(records);
    records->setFocus();
    records->clearSelection();
    QApplication::clipboard()->clear();
    QTest::keySequence(records, QKeySequence::Copy);
    const QStringList lines = QApplication::clipboard()->text().split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), rows + 1);  // the column titles first
    QVERIFY2(lines[0].contains("\tUnit") || lines[0].endsWith("Unit"), qPrintable(lines[0]));
    QCOMPARE(lines[1], QString("1\t0\t0\t0\t\tinstantaneous\tEnergy\t12345670\tWh"));
    QVERIFY(lines[17].endsWith("\tL2\tinstantaneous\tVoltage\t229.8\tV"));

    // Every row whole and naming the meter, the address asked, the time and the result.
    QVERIFY(w.SaveReading(dir.filePath("r.csv")));
    const QStringList csv =
        QString::fromUtf8(ReadAll(dir.filePath("r.csv"))).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(CsvFields(csv[0]),
             QStringList({"meter_id", "address", "time", "result", "kind", "name", "value", "unit",
                          "storage", "tariff", "subunit", "phase", "function"}));
    int record_rows = 0;
    for (const QString& line : csv.mid(1)) {
      const QStringList f = CsvFields(line);
      QVERIFY2(f.size() == 13, qPrintable(line));
      QCOMPARE(f.mid(0, 2), QStringList({"12345678", "254"}));
      QVERIFY2(f[2].endsWith('Z') && f[2].size() == 24, qPrintable(f[2]));
      QCOMPARE(f[3], QString("0"));
      record_rows += f[4] == "record";
    }
    QCOMPARE(record_rows, rows);
    QVERIFY(std::any_of(csv.begin(), csv.end(), [](const QString& l) {
      return l.contains(",value,energy_kWh,12345.67,kWh,,,,,");
    }));
    // TSV chosen by its type: the same rows with tabs.
    QCOMPARE(WithFilterSuffix(dir.filePath("r"), "TSV, tab-separated (*.tsv)"),
             dir.filePath("r.tsv"));
    QCOMPARE(WithFilterSuffix(dir.filePath("r.csv"), "TSV, tab-separated (*.tsv)"),
             dir.filePath("r.csv"));
    QVERIFY(w.SaveReading(dir.filePath("r.tsv")));
    const QStringList tsv =
        QString::fromUtf8(ReadAll(dir.filePath("r.tsv"))).split('\n', Qt::SkipEmptyParts);
    QCOMPARE(tsv.size(), csv.size());
    QCOMPARE(tsv[1].split('\t').size(), 13);

    QVERIFY(w.SaveReading(dir.filePath("r.json")));
    const auto json = QJsonDocument::fromJson(ReadAll(dir.filePath("r.json"))).object();
    QCOMPARE(json["MeterID"].toInt(), 12345678);
    QCOMPARE(json["address"].toString(), QString("254"));
    QCOMPARE(json["result"].toInt(), 0);
    QCOMPARE(json["values"].toObject()["energy_kWh"].toDouble(), 12345.67);
    QCOMPARE(json["records"].toArray().size(), rows);

    BoxCloser boxes;
    QVERIFY(!w.SaveReading(dir.filePath("no/such/folder/r.csv")));
    QCOMPARE(boxes.seen.size(), 1u);
    QVERIFY(!QFile::exists(dir.filePath("no/such/folder/r.csv")));
    QVERIFY(w.SaveTrace(dir.filePath("trace.txt")));
    QVERIFY(ReadAll(dir.filePath("trace.txt")).contains(" > 10 40 FE 3E 16"));
  }

  // A read whose port cannot be used leaves no value looking current: the values go, the pane
  // says it failed and when, and a saved reading carries the failure, never the old values.
  void aReadWhosePortFailsLeavesNoOldValue() {
    QTemporaryDir dir;
    MainWindow w(SettingsIn(dir));
    w.Read();
    QCOMPARE(w.Values().ValueOf("Meter ID"), QString("12345678"));
    w.Connection()->device->setCurrentText(dir.filePath("no-such-device"));
    BoxCloser boxes;
    w.Read();
    QCOMPARE(w.Values().ValueOf("Meter ID"), QString());
    QVERIFY(w.LastRead().has_value());
    QVERIFY(!w.LastRead()->Ok());
    QVERIFY(w.SaveReading(dir.filePath("failed.json")));
    const auto json = QJsonDocument::fromJson(ReadAll(dir.filePath("failed.json"))).object();
    QVERIFY(json["result"].toInt() != 0);
    QVERIFY(!json.contains("values"));
  }

  // A reply marker in the trace ("<TimeOut>") is shown whole, not spaced as bytes.
  void theTraceShowsAMarkerWhole() {
    velmar::gui::TracePane trace;
    trace.Add(velmar::TraceDirection::kReceived, "<TimeOut>");
    trace.Add(velmar::TraceDirection::kReceived, "E5");
    QVERIFY(trace.Text().contains(" < <TimeOut>"));
    QVERIFY(trace.Text().contains(" < E5"));
  }

  // Every command in the menu bar with a shortcut runs when its keys are pressed; Ctrl+Tab and
  // Ctrl+PgDn move through the tabs; Return in the address field reads.
  void everyMenuShortcutTriggersItsAction() {
    QTemporaryDir dir;
    auto w = BusWindow(dir, 1, false);
    w->BusTab()->last->setValue(1);
    w->show();
    QVERIFY(QTest::qWaitForWindowExposed(w.get()));
    w->activateWindow();
    BoxCloser boxes;  // Set address without a selection, About
    QStringList missing;
    QAction* quit = nullptr;
    for (QAction* a : w->MenuActions()) {
      if (a->shortcut().isEmpty()) {
        missing << a->text();
        continue;
      }
      if (a == w->Action("Quit")) {
        quit = a;
        continue;
      }
      QSignalSpy spy(a, &QAction::triggered);
      w->activateWindow();  // a box the action before opened had the focus
      QVERIFY(QTest::qWaitForWindowActive(w.get()));
      QTest::keySequence(w.get(), a->shortcut());
      QVERIFY2(spy.count() == 1, qPrintable(a->text()));
    }
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(", ")));
    for (const char* name : {"Save reading", "Save trace", "Read", "Scan", "Set address",
                             "Set baud rate", "Set clock", "Write table", "Read table", "About"}) {
      QVERIFY2(w->Action(name) != nullptr, name);
    }
    QTest::qWait(100);  // About's box, which does not hold the window, is closed
    w->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.get()));
    w->Connection()->address->setFocus();
    const int tab = w->Tabs()->currentIndex();
    QTest::keyClick(w->Connection()->address, Qt::Key_Tab, Qt::ControlModifier);
    QCOMPARE(w->Tabs()->currentIndex(), (tab + 1) % w->Tabs()->count());
    QTest::keyClick(w->Connection()->address, Qt::Key_PageDown, Qt::ControlModifier);
    QCOMPARE(w->Tabs()->currentIndex(), (tab + 2) % w->Tabs()->count());
    w->Values().Clear();
    w->Connection()->address->setFocus();
    QTest::keyClick(w->Connection()->address, Qt::Key_Return);
    QCOMPARE(w->Values().ValueOf("Meter ID"), QString("12345678"));
    QVERIFY(w->Commands()->password->echoMode() == QLineEdit::Password);
    QVERIFY(quit != nullptr);
    QSignalSpy quitting(quit, &QAction::triggered);
    QTest::keySequence(w.get(), quit->shortcut());
    QCOMPARE(quitting.count(), 1);
    QVERIFY(!w->isVisible());
  }

  void eventLoopTicksTimersAndStopsOnAbort() {
    velmar::qt::QtEventLoop loop;
    int ticks = 0;
    auto timer = loop.CreateTimer([&ticks] { ++ticks; });
    timer->SetInterval(5);
    timer->SetEnabled(true);
    while (ticks < 3) loop.WaitForEvents();
    timer->SetEnabled(false);
    loop.WaitForEvents();  // nothing to wait for: returns at once
    loop.Abort("closing");
    QVERIFY_THROWS_EXCEPTION(velmar::PortError, loop.ProcessEvents());
    loop.Resume();
    loop.ProcessEvents();
    QVERIFY(loop.Passes() >= 4);
  }
};

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  UnexpectedBoxGuard guard;
  GuiTest test;
  return QTest::qExec(&test, argc, argv);
}
#include "gui_test.moc"
