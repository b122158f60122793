// velmar-gui: the desktop meter tool.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDialog>
#include <QImage>
#include <QScreen>
#include <QSpinBox>
#include <QTabWidget>
#include <QTimer>
#include <iostream>

#include "bus_pane.hpp"
#include "connection_panel.hpp"
#include "main_window.hpp"
#include "meter_model.hpp"
#include "sim_config.hpp"

namespace {

// --screenshot: the whole screen (message boxes included) once the start-up read has had time
// to finish, then quit. For documentation under Xvfb.
void ScheduleScreenshot(const QString& path, int after_ms) {
  QTimer::singleShot(after_ms, [path] {
    const QImage shot = QGuiApplication::primaryScreen()->grabWindow(0).toImage();
    if (!shot.save(path)) std::cerr << "Error: could not write " << path.toStdString() << '\n';
    if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) box->accept();
    QTimer::singleShot(0, [] { QApplication::closeAllWindows(); });
  });
}

struct Options {
  QCommandLineOption device{QStringLiteral("device"),
                            QStringLiteral("Start with DEVICE: a serial device, tcp://HOST:PORT, "
                                           "or \"Simulated meter\"."),
                            QStringLiteral("DEVICE")};
  QCommandLineOption meters{QStringLiteral("meters"),
                            QStringLiteral("The simulated meter is a bus of N meters at primary "
                                           "addresses 1 to N (default 1)."),
                            QStringLiteral("N"), QStringLiteral("1")};
  QCommandLineOption read{QStringLiteral("read"), QStringLiteral("Read the meter once started.")};
  QCommandLineOption scan{QStringLiteral("scan"),
                          QStringLiteral("Scan primary addresses 0 to N once started (the bus "
                                         "pane shows what was found)."),
                          QStringLiteral("N")};
  QCommandLineOption tab{QStringLiteral("tab"),
                         QStringLiteral("Show this tab: Values, Records, Bus, Tariff table or "
                                        "Trace."),
                         QStringLiteral("TAB")};
  QCommandLineOption quiet{QStringLiteral("no-popups"),
                           QStringLiteral("Failures are said in the window only, without message "
                                          "boxes.")};
  QCommandLineOption fault{QStringLiteral("fault"),
                           QStringLiteral("Give the simulated meter a fault for its next answer "
                                          "(checksum, silence, nack, ...) after the link reset."),
                           QStringLiteral("FAULT")};
  QCommandLineOption shot{QStringLiteral("screenshot"),
                          QStringLiteral("Save a picture of the screen to FILE after the start-up "
                                         "read or scan, then quit."),
                          QStringLiteral("FILE")};

  void AddTo(QCommandLineParser& parser) const {
    parser.setApplicationDescription(QStringLiteral(
        "Desktop M-Bus meter tool: read a meter, find the meters of a bus, write tariff tables, "
        "set clocks, passwords, addresses and baud rates."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addOptions({device, meters, read, scan, tab, quiet, fault, shot});
  }
};

void Describe(QCoreApplication& app) {
  app.setOrganizationName(QStringLiteral("velmar"));
  app.setApplicationName(QStringLiteral("velmar-gui"));
  app.setApplicationVersion(QStringLiteral(VELMAR_VERSION));
}

// --help and --version are answered without a display: a terminal, an SSH session or a package
// check has none.
bool AnswersWithoutDisplay(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view a(argv[i]);
    if (a == "-h" || a == "--help" || a == "--help-all" || a == "-v" || a == "--version") {
      return true;
    }
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o;
  if (AnswersWithoutDisplay(argc, argv)) {
    QCoreApplication core(argc, argv);
    Describe(core);
    QCommandLineParser parser;
    o.AddTo(parser);
    parser.process(core);  // prints and exits
    return 0;
  }
  QApplication app(argc, argv);
  Describe(app);
  QApplication::setApplicationDisplayName(QStringLiteral("Velmar"));
  QCommandLineParser parser;
  o.AddTo(parser);
  parser.process(app);

  velmar::gui::MainWindow window;
  const int meters = parser.value(o.meters).toInt();
  if (meters < 1 || meters > 250) {
    std::cerr << "Error: --meters takes 1 to 250\n";
    return 2;
  }
  if (meters > 1) window.UseSimulatedBus(meters);
  if (parser.isSet(o.device)) window.Connection()->device->setCurrentText(parser.value(o.device));
  if (parser.isSet(o.tab)) {
    for (int t = 0; t < window.Tabs()->count(); ++t) {
      if (window.Tabs()->tabText(t) == parser.value(o.tab)) window.Tabs()->setCurrentIndex(t);
    }
  }
  if (parser.isSet(o.quiet)) window.Connection()->showErrors->setChecked(false);
  window.show();
  if (parser.isSet(o.fault)) {
    try {
      const auto f = velmar::tools::ParseFault(parser.value(o.fault).toStdString());
      window.Connect();  // starts the simulated meter when it is the chosen device
      // A read starts with the link reset: the fault is for the data answer after it.
      if (auto* meter = window.Session().simulator()) {
        meter->InjectFault({velmar::sim::FaultKind::kNone});
        meter->InjectFault(f);
      }
    } catch (const std::exception& e) {
      std::cerr << "Error: " << e.what() << '\n';
      return 2;
    }
  }
  const bool scan = parser.isSet(o.scan);
  // A box the start-up read opens holds the program in its own loop: the picture is taken on a
  // timer then. A scan shows no box, so its picture follows it.
  if (parser.isSet(o.shot) && !scan) ScheduleScreenshot(parser.value(o.shot), 2500);
  QTimer::singleShot(200, &window, [&] {
    if (parser.isSet(o.read)) window.Read();
    if (scan) {
      window.BusTab()->first->setValue(0);
      window.BusTab()->last->setValue(parser.value(o.scan).toInt());
      window.Scan();
      if (parser.isSet(o.shot)) ScheduleScreenshot(parser.value(o.shot), 300);
    }
  });
  return QApplication::exec();
}
