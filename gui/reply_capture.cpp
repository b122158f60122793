#include "reply_capture.hpp"

#include <utility>

namespace velmar::gui {

ReplyCapture::ReplyCapture(std::unique_ptr<SerialPort> port) : port_(std::move(port)) {}

void ReplyCapture::Output(std::span<const std::uint8_t> data) {
  heard_.clear();
  port_->Output(data);
}

std::vector<std::uint8_t> ReplyCapture::Input() {
  std::vector<std::uint8_t> bytes = port_->Input();
  heard_.insert(heard_.end(), bytes.begin(), bytes.end());
  return bytes;
}

}  // namespace velmar::gui
