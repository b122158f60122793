// What the latest read brought: this maker's named values with their units, the status texts
// and relay states, and the standard record list (which reads any maker's meter).
#pragma once

#include <QTableWidget>

#include <optional>
#include <span>

#include "velmar/maker_values.hpp"
#include "velmar/records.hpp"

namespace velmar::gui {

class ValuesPanel {
 public:
  explicit ValuesPanel(QWidget* parent);
  // Fills both tables: the named values (this maker's meters only) and the records.
  void Show(const std::optional<MakerValues>& values, std::span<const DataRecord> records,
            const std::string& recordError);
  void Clear();
  // The text shown for a value (row name as listed), or "" when there is no such row.
  QString ValueOf(const QString& name) const;

  QTableWidget* values = nullptr;
  QTableWidget* records = nullptr;

 private:
  void ShowValues(const MakerValues& values);
  void ShowRecords(std::span<const DataRecord> records, const std::string& recordError);
  void AddRow(const QString& name, const QString& value, const QString& unit);
};

}  // namespace velmar::gui
