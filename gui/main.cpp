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
#include <string>

#include "bus_pane.hpp"
#include "connection_panel.hpp"
#include "main_window.hpp"
#include "meter_model.hpp"
#include "sim_config.hpp"
#include "velmar/text.hpp"

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

// Whole numbers only: "12abc" is not 12.
bool WholeNumberIn(const QString& text, int low, int high) {
  bool ok = false;
  const int n = text.toInt(&ok);
  return ok && n >= low && n <= high;
}

// The arguments without the options every Qt program takes (-platform offscreen, -style
// Fusion, -reverse, ...), which the application object takes out for itself later.
QStringList OwnArguments(int argc, char** argv) {
  static const QStringList kWithValue = {
      QStringLiteral("style"),           QStringLiteral("stylesheet"),
      QStringLiteral("platform"),        QStringLiteral("platformpluginpath"),
      QStringLiteral("platformtheme"),   QStringLiteral("plugin"),
      QStringLiteral("qwindowgeometry"), QStringLiteral("qwindowicon"),
      QStringLiteral("qwindowtitle"),    QStringLiteral("session"),
      QStringLiteral("display"),         QStringLiteral("geometry")};
  static const QStringList kAlone = {QStringLiteral("widgetcount"),   QStringLiteral("reverse"),
                                     QStringLiteral("qmljsdebugger"), QStringLiteral("dialogs"),
                                     QStringLiteral("fontengine"),    QStringLiteral("nograb"),
                                     QStringLiteral("dograb"),        QStringLiteral("sync")};
  QStringList own;
  for (int i = 0; i < argc; ++i) {
    const QString a = QString::fromLocal8Bit(argv[i]);
    QString name = a;
    while (name.startsWith(QLatin1Char('-'))) name.remove(0, 1);
    const bool equals = name.contains(QLatin1Char('='));
    name = name.section(QLatin1Char('='), 0, 0);
    if (i > 0 && a.startsWith(QLatin1Char('-')) && kWithValue.contains(name)) {
      if (!equals) ++i;  // its value is the next argument
      continue;
    }
    if (i > 0 && a.startsWith(QLatin1Char('-')) && kAlone.contains(name)) continue;
    own << a;
  }
  return own;
}

// The command line, read into `parser` and checked before a display is opened: a mistake is one
// line and exit status 2 on a terminal without a display as well, never an abort in the
// display's set-up.
std::string CommandLineProblem(int argc, char** argv, const Options& o,
                               QCommandLineParser& parser) {
  o.AddTo(parser);
  if (!parser.parse(OwnArguments(argc, argv))) return parser.errorText().toStdString();
  if (!parser.positionalArguments().isEmpty()) {
    return "unexpected argument \"" +
           velmar::Shown(parser.positionalArguments().front().toStdString()) +
           "\": velmar-gui takes options only";
  }
  if (parser.isSet(o.meters) && !WholeNumberIn(parser.value(o.meters), 1, 250)) {
    return "--meters takes 1 to 250";
  }
  if (parser.isSet(o.scan) && !WholeNumberIn(parser.value(o.scan), 0, 250)) {
    return "--scan takes the last primary address to try, 0 to 250";
  }
  if (parser.isSet(o.fault)) {
    try {
      velmar::tools::ParseFault(parser.value(o.fault).toStdString());
    } catch (const std::exception& e) {
      return e.what();
    }
  }
  return {};
}

}  // namespace

int main(int argc, char** argv) {
  const Options o;
  QCommandLineParser parser;
  if (const std::string why = CommandLineProblem(argc, argv, o, parser); !why.empty()) {
    std::cerr << "Error: " << why << "\nRun with --help for more information.\n";
    return 2;
  }
  // --help and --version are answered without a display: a terminal, an SSH session or a
  // package check has none.
  if (parser.isSet(QStringLiteral("help")) || parser.isSet(QStringLiteral("help-all")) ||
      parser.isSet(QStringLiteral("version"))) {
    QCoreApplication core(argc, argv);
    Describe(core);
    parser.process(core);  // prints and exits
    return 0;
  }
  QApplication app(argc, argv);
  Describe(app);
  QApplication::setApplicationDisplayName(QStringLiteral("Velmar"));

  velmar::gui::MainWindow window;
  const int meters = parser.value(o.meters).toInt();
  if (meters > 1) window.UseSimulatedBus(meters);
  if (parser.isSet(o.device)) window.Connection()->device->setCurrentText(parser.value(o.device));
  if (parser.isSet(o.tab)) {
    QStringList names;
    for (int t = 0; t < window.Tabs()->count(); ++t) {
      names << window.Tabs()->tabText(t);
      if (names.back() == parser.value(o.tab)) window.Tabs()->setCurrentIndex(t);
    }
    if (!names.contains(parser.value(o.tab))) {
      std::cerr << "Error: --tab \"" << velmar::Shown(parser.value(o.tab).toStdString())
                << "\" is not a tab: " << names.join(QStringLiteral(", ")).toStdString() << '\n';
      return 2;
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
