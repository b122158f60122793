// What the latest read brought: every value of the control with its unit, the status texts and
// relay states, and the standard record list (which reads any maker's meter).
#pragma once

#include <QTableWidget>

#include "velmar/records.hpp"
#include "velmar/velmar.hpp"

namespace velmar::gui {

class ValuesPanel {
 public:
  explicit ValuesPanel(QWidget* parent);
  // Fills both tables from the control's values and the decoded reply.
  void Show(Velmar& control, const DecodedTelegram& telegram);
  void Clear();
  // The text shown for a value (row name as listed), or "" when there is no such row.
  QString ValueOf(const QString& name) const;

  QTableWidget* values = nullptr;
  QTableWidget* records = nullptr;

 private:
  void ShowValues(Velmar& control);
  void ShowRecords(const DecodedTelegram& telegram);
  void AddRow(const QString& name, const QString& value, const QString& unit);
};

}  // namespace velmar::gui
