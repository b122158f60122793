// The conformance corpus: telegrams real meters sent, published by others with the values they
// hold (tests/data/conformance.jsonl, its sources in tests/data/README.md). Every telegram is
// decoded the way the tools decode it, wired ones by the record decoder and wireless ones in
// file order by one wireless decoder (so a compact frame is read with the format its meter's
// full frame showed), and compared with what the corpus says: the header, every record's
// storage, tariff, subunit, function, quantity, unit and value, the values the source
// published, or the reason a telegram is not read.
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "corpus_entry.hpp"
#include "radio_result.hpp"
#include "velmar/hex.hpp"
#include "velmar/records.hpp"
#include "velmar/wmbus.hpp"

namespace velmar {
namespace {

using Json = nlohmann::json;

bool Near(double got, double want, double tolerance) {
  return std::fabs(got - want) <= std::max(tolerance, 1e-9 * std::max(1.0, std::fabs(want)));
}

// What does not agree between a record and the corpus' record; "" when all does.
std::string RecordDiff(const DataRecord& r, const Json& x) {
  std::ostringstream d;
  auto field = [&](const char* name, const Json& got) {
    if (x.contains(name) && x[name] != got)
      d << name << " " << got << " (corpus " << x[name] << ") ";
  };
  field("storage", r.storage);
  field("tariff", r.tariff);
  field("subunit", r.subunit);
  field("function", std::string(FunctionName(r.function)));
  field("quantity", std::string(r.quantity));
  field("unit", UnitText(r));
  const Json& v = x["value"];
  if (v == "NaN") {  // a real32 whose bits are not a number: JSON has no literal for it
    if (r.kind != ValueKind::kNumber || !std::isnan(r.value)) d << "value not NaN ";
  } else if (v.is_number()) {
    if (r.kind != ValueKind::kNumber ||
        !Near(r.value, v.get<double>(), x.value("tolerance", 0.0))) {
      d << "value " << (r.kind == ValueKind::kNumber ? Json(r.value) : Json(ValueText(r)))
        << " (corpus " << v << ") ";
    }
  } else if (v.is_null() ? r.kind != ValueKind::kNone : ValueText(r) != v.get<std::string>()) {
    d << "value " << Json(ValueText(r)) << " (corpus " << v << ") ";
  }
  if (x.value("invalid", false) != (r.date.invalid && r.kind != ValueKind::kNumber)) {
    d << "invalid flag ";
  }
  if (x.value("unscaled", false) != r.unscaled) d << "unscaled flag ";
  return d.str();
}

std::string HeaderDiff(const TelegramHeader& h, const Json& x) {
  std::ostringstream d;
  auto field = [&](const char* name, const Json& got) {
    if (x.contains(name) && x[name] != got)
      d << name << " " << got << " (corpus " << x[name] << ") ";
  };
  field("identNumber", std::string(h.ident.data()));
  field("manufacturer", std::string(h.manufacturer.data()));
  field("version", h.version);
  field("medium", h.medium);
  field("accessNumber", h.accessNumber);
  if (h.hasStatus) field("status", h.status);
  return d.str();
}

// A value the source published for the telegram: some record carries it.
bool Carries(const std::vector<DataRecord>& records, const Json& a) {
  for (const DataRecord& r : records) {
    if (r.kind != ValueKind::kNumber) continue;
    const bool quantity = std::find(a["quantity"].begin(), a["quantity"].end(),
                                    std::string(r.quantity)) != a["quantity"].end();
    if (!quantity) continue;
    auto near = [&](const Json& unit, const Json& value) {
      return UnitText(r) == unit.get<std::string>() &&
             std::fabs(r.value - value.get<double>()) <= 1e-6 * std::max(1.0, std::fabs(r.value));
    };
    if (near(a["unit"], a["value"])) return true;
    if (a.contains("alternative") && near(a["alternative"]["unit"], a["alternative"]["value"])) {
      return true;
    }
  }
  return false;
}

std::string RecordsDiff(const DecodedTelegram& t, const Json& x) {
  std::string d;
  if (x.contains("header")) d += HeaderDiff(t.header, x["header"]);
  if (x.contains("records")) {
    const Json& want = x["records"];
    if (want.size() != t.records.size()) {
      d += std::to_string(t.records.size()) + " records (corpus " + std::to_string(want.size()) +
           ") ";
    }
    for (std::size_t i = 0; i < std::min(want.size(), t.records.size()); ++i) {
      if (const std::string r = RecordDiff(t.records[i], want[i]); !r.empty()) {
        d += "record " + std::to_string(i) + ": " + r;
      }
    }
  }
  if (x.contains("manufacturerData") && t.manufacturerData.empty() == x["manufacturerData"]) {
    d += "manufacturer data ";
  }
  for (const Json& a : x.value("values", Json::array())) {
    if (!Carries(t.records, a)) d += "no record carries " + a["field"].get<std::string>() + " ";
  }
  return d;
}

std::string WiredDiff(const Json& e) {
  const auto bytes = *ParseHex(e["hex"].get<std::string>());
  DecodedTelegram t;
  DecodeTelegram(bytes, t);
  const Json& x = e["expect"];
  const bool refused = t.result != 0 || !t.error.empty();
  const bool want_refused = x.value("refused", false) || x.value("status", "") == "refused";
  if (refused != want_refused) {
    return refused ? "refused: " + std::to_string(t.result) + " " + t.error : "read, not refused";
  }
  return refused ? "" : RecordsDiff(t, x);
}

std::string WirelessDiff(const Json& e, WirelessDecoder& decoder, WirelessTelegram& t) {
  testing::DecodeWireless(e, decoder, t);
  const Json& x = e["expect"];
  const std::string status(tools::RadioStatusText(t));
  if (status != x["status"])
    return "status " + status + " (corpus " + x["status"].dump() + ") " + t.error;
  return status == "ok" ? RecordsDiff(t.decoded, x) : "";
}

TEST(Conformance, EveryPublishedTelegramReadsAsItsSourceAndTheStandardSay) {
  const std::vector<Json> corpus = testing::Corpus();
  WirelessDecoder decoder;
  WirelessTelegram t;
  std::vector<std::string> problems;
  std::set<std::string> sources;
  int wired = 0, wireless = 0, compact = 0, refused = 0, authenticated = 0;
  for (const Json& e : corpus) {
    const bool radio = e["kind"] == "wireless";
    const std::string d = radio ? WirelessDiff(e, decoder, t) : WiredDiff(e);
    if (!d.empty()) problems.push_back(e["id"].get<std::string>() + ": " + d);
    const std::string source =
        e["id"].get<std::string>().substr(0, e["id"].get<std::string>().find('/'));
    if (source != "derived") sources.insert(source);
    (radio ? wireless : wired)++;
    compact += radio && t.compact && t.status == Status::kOk;
    authenticated += radio && t.authenticated && t.status == Status::kOk;
    refused += e["expect"].value("refused", false) || e["expect"].value("status", "ok") != "ok";
  }
  for (std::size_t i = 0; i < std::min<std::size_t>(problems.size(), 40); ++i) {
    ADD_FAILURE() << problems[i];
  }
  EXPECT_TRUE(problems.empty()) << problems.size() << " of " << corpus.size() << " telegrams";
  // What the corpus must go on covering.
  EXPECT_GE(corpus.size(), 300u);
  EXPECT_GE(sources.size(), 5u);
  EXPECT_GE(wired, 100);
  EXPECT_GE(wireless, 200);
  EXPECT_GE(compact, 8);
  EXPECT_GE(authenticated, 1);  // a mode 7 telegram read with its key, its MAC holding
  EXPECT_GE(refused, 50);
}

}  // namespace
}  // namespace velmar
