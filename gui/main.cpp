// velmar-gui: the desktop meter tool.
#include <QApplication>
#include <QComboBox>
#include <QCommandLineParser>
#include <QDialog>
#include <QImage>
#include <QScreen>
#include <QTimer>
#include <iostream>

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

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setOrganizationName(QStringLiteral("velmar"));
  QApplication::setApplicationName(QStringLiteral("velmar-gui"));
  QApplication::setApplicationDisplayName(QStringLiteral("Velmar"));
  QCommandLineParser parser;
  parser.setApplicationDescription(QStringLiteral("Desktop M-Bus meter tool"));
  parser.addHelpOption();
  QCommandLineOption device(QStringLiteral("device"),
                            QStringLiteral("Start with DEVICE: a serial device, tcp://HOST:PORT, "
                                           "or \"Simulated meter\"."),
                            QStringLiteral("DEVICE"));
  QCommandLineOption read(QStringLiteral("read"), QStringLiteral("Read the meter once started."));
  QCommandLineOption fault(QStringLiteral("fault"),
                           QStringLiteral("Give the simulated meter a fault for its next answer "
                                          "(checksum, silence, nack, ...) after the link reset."),
                           QStringLiteral("FAULT"));
  QCommandLineOption shot(QStringLiteral("screenshot"),
                          QStringLiteral("Save a picture of the screen to FILE after the start-up "
                                         "read, then quit."),
                          QStringLiteral("FILE"));
  parser.addOptions({device, read, fault, shot});
  parser.process(app);

  velmar::gui::MainWindow window;
  if (parser.isSet(device)) window.Connection()->device->setCurrentText(parser.value(device));
  window.show();
  if (parser.isSet(fault)) {
    try {
      const auto f = velmar::tools::ParseFault(parser.value(fault).toStdString());
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
  if (parser.isSet(shot)) ScheduleScreenshot(parser.value(shot), 2500);
  if (parser.isSet(read)) QTimer::singleShot(200, &window, [&window] { window.Read(); });
  return QApplication::exec();
}
