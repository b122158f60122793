// What the latest read brought, as a person reads it: the meter's identity and status, its
// relays and error flags, then every value it measures with its unit (per tariff and per phase
// where it has them), the meter's clock in the desktop's own format; and the standard record
// list, one record a row with storage, tariff, subunit and phase apart. A failed read empties
// both and says in the panel what failed and where.
#pragma once

#include <QString>
#include <QTableWidget>

#include "meter_read.hpp"
#include "profiles.hpp"

class QLabel;

namespace velmar::gui {

class ValuesPanel {
 public:
  explicit ValuesPanel(QWidget* parent);
  // Fills both tables from a read of `address` (its text); a failed read clears them and shows
  // its failure instead.
  // Shows `read` of `address` made at `time`; a failed read clears every value and says why
  // and when in the pane itself.
  void Show(const tools::MeterRead& read, const QString& address, const QString& time);
  void Clear();
  // The text shown for a value (row name as listed), or "" when there is no such row.
  QString ValueOf(const QString& name) const;
  // The failure line above the values ("" after a good read).
  QString Failure() const;

  QWidget* valuesTab = nullptr;  // the failure line above the values table
  QTableWidget* values = nullptr;
  QTableWidget* records = nullptr;

 private:
  void ShowIdentity(const tools::MeterRead& read);
  void ShowMakerExtras(const MakerValues& m);
  bool HasRow(const QString& name) const;
  void ShowPlainValues(const std::vector<tools::PlainValue>& values);
  void ShowProfile(const tools::MeterRead& read);
  void ShowRecords(std::span<const DataRecord> records, const std::string& recordError);
  void AddRow(const QString& name, const QString& value, const QString& unit = {});
  QLabel* failure_ = nullptr;
  tools::ProfileSet profiles_;  // the meter profiles in use, read when the window opens
};

// The meter's clock text ("2026-12-05T14:30:00", local time without zone) in the desktop's
// short date and time format; the text itself when it is not a time.
QString LocalTimeText(const QString& iso);

}  // namespace velmar::gui
