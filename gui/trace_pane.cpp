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
  auto* clear = new QPushButton(tr("Clear"));
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
  text_->appendPlainText(stamp + (direction == TraceDirection::kSent ? " > " : " < ") +
                         QString::fromStdString(hex));
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
