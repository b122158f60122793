// Builds against the installed library: proves find_package(velmar) and velmar::velmar work.
#include <velmar/velmar.hpp>
#include <velmar/virtual_platform.hpp>

int main() {
  velmar::virt::VirtualEventLoop loop;
  velmar::virt::RecordingMessageBox messages;
  velmar::virt::RecordingContainer container;
  velmar::Velmar v({loop, messages, container},
                   std::make_unique<velmar::virt::VirtualSerialPort>(loop));
  v.InitProperties();
  return v.CommSpeed().ToText() == " 2400" ? 0 : 1;
}
