// Every frame sent and every reply received, time-stamped to the millisecond, selectable and
// copyable: what a technician pastes into a report.
#pragma once

#include <QWidget>

#include "velmar/trace.hpp"

class QPlainTextEdit;

namespace velmar::gui {

class TracePane : public QWidget {
 public:
  explicit TracePane(QWidget* parent = nullptr);
  // "hh:mm:ss.zzz > HEX" for a frame sent, "< HEX" for a reply.
  void Add(TraceDirection direction, const std::string& hex);
  // A callback for the control (and the bus scanner) that adds to this pane.
  TraceCallback Callback();
  QString Text() const;

 private:
  QPlainTextEdit* text_ = nullptr;
};

}  // namespace velmar::gui
