#include <QGuiApplication>
#include <QMessageBox>

#include "velmar/qt.hpp"

namespace velmar::qt {

void QtMessageBox::Show(const std::string& text, const std::optional<std::string>& title) {
  QMessageBox box(parent_.data());
  box.setWindowTitle(title ? QString::fromStdString(*title)
                           : QGuiApplication::applicationDisplayName());
  box.setText(QString::fromStdString(text));
  box.setIcon(title ? QMessageBox::Warning : QMessageBox::Information);
  box.setStandardButtons(QMessageBox::Ok);
  box.setWindowModality(Qt::ApplicationModal);
  box.exec();  // a nested loop: the window keeps repainting while the box is open
}

}  // namespace velmar::qt
