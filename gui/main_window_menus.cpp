// The window's menu bar and keyboard: every command with its shortcut, tab switching, saving
// the reading and the trace, and About.
#include <QApplication>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QShortcut>
#include <QTabWidget>

#include "bus_pane.hpp"
#include "command_panel.hpp"
#include "main_window.hpp"

#include "table_export.hpp"
#include "trace_pane.hpp"

namespace velmar::gui {

void MainWindow::BuildMenus() {
  auto add = [this](QMenu* menu, const QString& text, const QKeySequence& keys, const QString& tip,
                    auto slot) {
    QAction* a = menu->addAction(text);
    a->setShortcut(keys);
    a->setStatusTip(tip);
    a->setToolTip(tip);
    connect(a, &QAction::triggered, this, slot);
    return a;
  };
  QMenu* file = menuBar()->addMenu(tr("&File"));
  add(file, tr("&Save reading..."), QKeySequence(tr("Ctrl+S")),
      tr("Save the last reading as CSV, TSV or JSON, with the meter, its address and the time"),
      [this] {
        const QString path = ask_path_(
            tr("Save the reading as"),
            tr("CSV (*.csv);;TSV, tab-separated (*.tsv);;JSON, as velmar read --json (*.json)"),
            true);
        if (!path.isEmpty()) SaveReading(path);
      });
  add(file, tr("Save &found meters..."), QKeySequence(tr("Ctrl+Shift+F")),
      tr("Save the meters the last scan found as CSV or TSV"), [this] {
        const QString path = ask_path_(tr("Save the meters found as"),
                                       tr("CSV (*.csv);;TSV, tab-separated (*.tsv)"), true);
        if (!path.isEmpty()) SaveFoundMeters(path);
      });
  add(file, tr("Save &trace..."), QKeySequence(tr("Ctrl+Shift+S")),
      tr("Save the frames sent and received as text"), [this] {
        const QString path = ask_path_(tr("Save the trace as"), tr("Text (*.txt)"), true);
        if (!path.isEmpty()) SaveTrace(path);
      });
  file->addSeparator();
  add(file, tr("&Quit"), QKeySequence(tr("Ctrl+Q")), tr("Close the window"), [this] { close(); });

  QMenu* meter = menuBar()->addMenu(tr("&Meter"));
  add(meter, tr("&Read"), QKeySequence(Qt::Key_F5), tr("Read the meter at the address"),
      [this] { Read(); });
  add(meter, tr("S&can"), QKeySequence(tr("Ctrl+F")), tr("Find the meters on the bus"), [this] {
    tabs_->setCurrentWidget(bus_pane_);
    Scan();
  });
  add(meter, tr("Set &address..."), QKeySequence(tr("Ctrl+Shift+A")),
      tr("Give the meter selected in the bus pane a new primary address"),
      [this] { SetSelectedAddress(); });
  add(meter, tr("Set &baud rate..."), QKeySequence(tr("Ctrl+Shift+B")),
      tr("Switch the meter selected in the bus pane to another baud rate"),
      [this] { SetSelectedSpeed(); });
  meter->addSeparator();
  add(meter, tr("Set &clock"), QKeySequence(tr("Ctrl+Shift+C")), tr("Set the meter's clock"),
      [this] { SetClock(); });
  add(meter, tr("&Write table..."), QKeySequence(tr("Ctrl+Shift+W")),
      tr("Write a tariff table from a file"), [this] { commands_->writeTable->click(); });
  add(meter, tr("Read &table..."), QKeySequence(tr("Ctrl+Shift+R")),
      tr("Read the tariff table back to a file"), [this] { commands_->readTable->click(); });

  QMenu* help = menuBar()->addMenu(tr("&Help"));
  add(help, tr("&About"), QKeySequence(Qt::Key_F1), tr("Version and licences"),
      [this] { ShowAbout(); });
}

// Ctrl+Tab and Ctrl+PgDn go to the next tab, with Shift or Ctrl+PgUp to the one before, from
// anywhere in the window.
void MainWindow::AddShortcuts() {
  auto step = [this](int by) {
    const int n = tabs_->count();
    tabs_->setCurrentIndex((tabs_->currentIndex() + by + n) % n);
  };
  for (const auto& [keys, by] : {std::pair{QKeySequence(Qt::CTRL | Qt::Key_Tab), 1},
                                 {QKeySequence(Qt::CTRL | Qt::Key_PageDown), 1},
                                 {QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_Backtab), -1},
                                 {QKeySequence(Qt::CTRL | Qt::Key_PageUp), -1}}) {
    auto* s = new QShortcut(keys, this);
    s->setContext(Qt::WindowShortcut);
    const int delta = by;
    connect(s, &QShortcut::activated, this, [step, delta] { step(delta); });
  }
}

QList<QAction*> MainWindow::MenuActions() const {
  QList<QAction*> all;
  for (QAction* menu : menuBar()->actions()) {
    for (QAction* a : menu->menu()->actions()) {
      if (!a->isSeparator()) all << a;
    }
  }
  return all;
}

QAction* MainWindow::Action(const QString& text) const {
  for (QAction* a : MenuActions()) {
    if (a->text().remove('&').remove(QStringLiteral("...")) == text) return a;
  }
  return nullptr;
}

QString WithFilterSuffix(const QString& path, const QString& filter) {
  if (path.isEmpty() || !QFileInfo(path).suffix().isEmpty()) return path;
  const QRegularExpression star(QStringLiteral("\\*(\\.[A-Za-z0-9]+)"));
  const QRegularExpressionMatch m = star.match(filter);
  return m.hasMatch() ? path + m.captured(1) : path;
}

bool MainWindow::SaveReading(const QString& path) {
  if (!last_read_) {
    Complain(tr("Nothing to save yet: read a meter first"));
    return false;
  }
  const QString text = path.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive)
                           ? ReadingJsonText(*last_read_, last_context_)
                       : path.endsWith(QStringLiteral(".tsv"), Qt::CaseInsensitive)
                           ? ReadingTable(*last_read_, last_context_, '\t')
                           : ReadingCsv(*last_read_, last_context_);
  if (const QString why = WriteWhole(path, text); !why.isEmpty()) {
    Complain(tr("Cannot write %1: %2 (choose a folder you may write to)").arg(path, why));
    return false;
  }
  SetStatus(tr("Reading saved to %1").arg(path));
  return true;
}

bool MainWindow::SaveFoundMeters(const QString& path) {
  if (bus_pane_->found->rowCount() == 0) {
    Complain(tr("No meters found yet: scan the bus first"));
    return false;
  }
  const QChar separator = path.endsWith(QStringLiteral(".tsv"), Qt::CaseInsensitive) ? '\t' : ',';
  if (const QString why = WriteWhole(path, TableText(*bus_pane_->found, separator));
      !why.isEmpty()) {
    Complain(tr("Cannot write %1: %2 (choose a folder you may write to)").arg(path, why));
    return false;
  }
  SetStatus(tr("%1 meters saved to %2").arg(bus_pane_->found->rowCount()).arg(path));
  return true;
}

bool MainWindow::SaveTrace(const QString& path) {
  if (const QString why = WriteWhole(path, trace_->Text() + '\n'); !why.isEmpty()) {
    Complain(tr("Cannot write %1: %2 (choose a folder you may write to)").arg(path, why));
    return false;
  }
  SetStatus(tr("Trace saved to %1").arg(path));
  return true;
}

void MainWindow::ShowAbout() {
  auto* box = new QMessageBox(this);
  box->setAttribute(Qt::WA_DeleteOnClose);
  box->setWindowTitle(tr("About Velmar"));
  box->setTextFormat(Qt::RichText);
  box->setText(
      tr("<b>Velmar meter tool %1</b><p>Reads M-Bus meters (EN 13757-2 and -3) on a serial line "
         "or through a TCP gateway, finds the meters of a bus, writes tariff tables and sets "
         "clocks.</p><p>Built with Qt %2 (GNU LGPL version 3), nlohmann-json (MIT licence) and "
         "the C++ standard library of the compiler. <a href=\"%3\">%3</a></p>")
          .arg(QApplication::applicationVersion(), QString::fromLatin1(qVersion()),
               QStringLiteral(VELMAR_HOMEPAGE)));
  box->open();  // not modal to the program: the window keeps working
}

}  // namespace velmar::gui
