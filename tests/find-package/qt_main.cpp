// Builds against the installed Qt host library: proves find_package(velmar COMPONENTS qt) and
// the three lines that host a control in a Qt program.
#include <QApplication>
#include <QLineEdit>
#include <velmar/qt.hpp>
#include <velmar/velmar.hpp>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QLineEdit address(QStringLiteral("254"));
  velmar::qt::Host host;
  velmar::Velmar meter(host.Services(), host.SerialPort(QStringLiteral("/dev/null")),
                       host.AddressField(&address));
  meter.InitProperties();
  return meter.CommSpeed().ToText() == " 2400" && meter.txt_Adress().Text() == "254" ? 0 : 1;
}
