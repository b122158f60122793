#include "trace_pane.hpp"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QTime>
#include <QVBoxLayout>

namespace velmar::gui {

TracePane::TracePane(QWidget* parent) : QWidget(parent) {
  auto* layout = new QVBoxLayout(this);
  text_ = new QPlainTextEdit;
  text_->setReadOnly(true);
  text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  // A long session must not grow without bound.
  text_->setMaximumBlockCount(20000);
  layout->addWidget(text_);
  auto* buttons = new QHBoxLayout;
  auto* copy = new QPushButton(tr("Copy all"));
  copy->setToolTip(tr("Copy the whole trace to the clipboard"));
  auto* clear = new QPushButton(tr("Clear"));
  clear->setToolTip(tr("Empty the trace"));
  text_->setToolTip(tr("Every frame sent (>) and received (<) with its time"));
  buttons->addStretch();
  buttons->addWidget(copy);
  buttons->addWidget(clear);
  layout->addLayout(buttons);
  connect(copy, &QPushButton::clicked,
          [this] { QApplication::clipboard()->setText(text_->toPlainText()); });
  connect(clear, &QPushButton::clicked, text_, &QPlainTextEdit::clear);
}

void TracePane::Add(TraceDirection direction, const std::string& hex) {
  const QString stamp = QTime::currentTime().toString(QStringLiteral("hh:mm:ss.zzz"));
  // Bytes spaced in pairs, as they are read off a line analyser; a marker in place of a reply
  // ("<TimeOut>", "<Overflow>") is text, shown whole.
  QString spaced;
  spaced.reserve(static_cast<int>(hex.size() * 3 / 2));
  const bool marker = !hex.empty() && hex.front() == '<';
  if (marker) spaced = QString::fromStdString(hex);
  for (std::size_t i = 0; !marker && i < hex.size(); i += 2) {
    if (i > 0) spaced += ' ';
    spaced += QString::fromLatin1(hex.data() + i,
                                  static_cast<int>(std::min<std::size_t>(2, hex.size() - i)));
  }
  text_->appendPlainText(stamp + (direction == TraceDirection::kSent ? " > " : " < ") + spaced);
}

TraceCallback TracePane::Callback() {
  QPointer<TracePane> self(this);
  return [self](TraceDirection direction, const std::string& hex) {
    if (self) self->Add(direction, hex);
  };
}

QString TracePane::Text() const {
  return text_->toPlainText();
}

}  // namespace velmar::gui
