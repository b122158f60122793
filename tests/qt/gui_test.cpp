// The Qt host and the desktop tool with real widgets (offscreen) against the simulated meter on
// a pseudo-terminal: what a technician sees after each command, the control's message boxes,
// saved settings, the tariff table to and from files, and closing the window mid-read.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <filesystem>
#include <thread>

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
    QCOMPARE(w.Values().ValueOf("Energy total"), QString("12345.67"));
    QCOMPARE(w.Values().ValueOf("Energy tariff 2"), QString("4000.50"));
    QCOMPARE(w.Values().ValueOf("Relay 0"), QString("on"));
    QCOMPARE(w.Values().ValueOf("Relay 1"), QString("off"));
    QCOMPARE(w.Values().ValueOf("Relay 2"), QString("-"));
    QCOMPARE(w.Values().ValueOf("Date"), QString("261205"));
    QVERIFY(w.Values().records->rowCount() > 10);
    const QString trace = w.Trace()->Text();
    QVERIFY(trace.contains(" > 1040FE3E16"));  // the link reset of address 254
    QVERIFY(trace.contains(" < 68C3C368"));
    QVERIFY(w.LastResult().startsWith("Read: "));
    QVERIFY(w.Commands()->read->isEnabled());
  }

  void checksumFaultShowsTheControlsBoxUnlessSuppressed() {
    QTemporaryDir dir;
    MainWindow w(SettingsIn(dir));
    QVERIFY(w.Connect());
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
    w.Commands()->password->setText("00000000");
    w.GivePassword();
    QVERIFY(w.WriteTableFrom(dir.filePath("table.bin")));
    QCOMPARE(w.Commands()->tableProgress->maximum(), 2);
    QCOMPARE(w.Commands()->tableProgress->value(), 2);
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
    QCOMPARE(static_cast<int>(r.result), static_cast<int>(velmar::BusResult::kPortError));
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
    QCOMPARE(w.Values().ValueOf("Energy total"), QString("12345.67"));
    QVERIFY(w.Trace()->Text().contains(" > 680B0B6853FD52"));  // the selection
    w.Connection()->address->setText("87654321");
    w.Read();
    QCOMPARE(w.Values().ValueOf("Meter ID"), QString());
    QVERIFY(w.LastResult().contains("87654321"));
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
