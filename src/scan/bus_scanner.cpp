#include <algorithm>
#include <charconv>
#include <string>

#include "velmar/error.hpp"
#include "velmar/scan.hpp"
#include "velmar/text.hpp"

namespace velmar {
namespace {

bool ValidIdent(const std::string& p) {
  return p.size() == 8 && std::all_of(p.begin(), p.end(), [](char c) {
           return (c >= '0' && c <= '9') || c == 'F' || c == 'f';
         });
}

bool AnyField(const std::string& f) {
  return f == "*" || (!f.empty() &&
                      std::all_of(f.begin(), f.end(), [](char c) { return c == 'F' || c == 'f'; }));
}

std::optional<std::uint8_t> HexByte(const std::string& f) {
  unsigned v = 0;
  if (f.size() != 2) return std::nullopt;
  const auto [end, ec] = std::from_chars(f.data(), f.data() + 2, v, 16);
  if (ec != std::errc() || end != f.data() + 2) return std::nullopt;
  return static_cast<std::uint8_t>(v);
}

// Three letters A-Z, five bits each, as the manufacturer field packs them.
std::optional<std::uint16_t> ManufacturerCode(const std::string& f) {
  if (f.size() != 3) return std::nullopt;
  std::uint16_t code = 0;
  for (char c : f) {
    const char u = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
    if (u < 'A' || u > 'Z') return std::nullopt;
    code = static_cast<std::uint16_t>((code << 5) | (u - 64));
  }
  return code;
}

std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> out(1);
  for (char c : text) {
    if (c == ',') {
      out.emplace_back();
    } else {
      out.back().push_back(c);
    }
  }
  return out;
}

}  // namespace

std::optional<SearchPattern> SearchPattern::Parse(const std::string& text, std::string* why) {
  const auto fail = [&]() -> std::optional<SearchPattern> {
    if (why) {
      *why =
          "give 8 digits or F (F: any digit), optionally followed by ,MAN,VV,MM: three letters "
          "and two hex digits each for version and medium, * for any (1234FFFF,KAM,*,07)";
    }
    return std::nullopt;
  };
  const auto f = SplitFields(text);
  if (f.size() > 4 || !ValidIdent(f[0])) return fail();
  SearchPattern p;
  p.ident = f[0];
  if (f.size() > 1 && !AnyField(f[1]) && !(p.manufacturer = ManufacturerCode(f[1]))) return fail();
  if (f.size() > 2 && !AnyField(f[2]) && !(p.version = HexByte(f[2]))) return fail();
  if (f.size() > 3 && !AnyField(f[3]) && !(p.medium = HexByte(f[3]))) return fail();
  return p;
}

BusScanner::BusScanner(Bus& bus) : bus_(bus) {}

// Bytes that are not what the probe trusts may be the tail of an earlier answer a gateway is
// still passing on, or a meter's late acknowledge: once the line is quiet, the address is asked
// again and that answer counts.
Status BusScanner::ProbeTrusting(const Address& address, bool trust_ack) {
  ++probes_;
  const Status answer = bus_.Probe(address);
  if (answer == Status::kNoReply || answer == Status::kPortError ||
      (trust_ack && answer == Status::kOk)) {
    return answer;
  }
  if (bus_.DrainLine() == Status::kPortError) return Status::kPortError;
  ++probes_;
  return bus_.Probe(address);
}

Status BusScanner::Probe(const Address& address) {
  return ProbeTrusting(address, true);
}

Status BusScanner::AnswerAt(const Address& address) {
  return ProbeTrusting(address, false);
}

bool BusScanner::Occupied(std::uint8_t primary) {
  const Status there = AnswerAt(Address::Primary(primary));
  if (there == Status::kPortError) throw PortError(bus_.PortFailure());
  return there != Status::kNoReply;
}

// A meter that acknowledged and then answers nothing at all may never have been there: the
// acknowledge can be another meter's, come late. Asked again once the line is quiet.
std::optional<FoundMeter> BusScanner::Confirmed(const Address& address, int primary) {
  Status read = Status::kOk;
  FoundMeter m = ReadFound(address, primary, read);
  if (read != Status::kNoReply) return m;
  if (bus_.DrainLine() == Status::kPortError) throw PortError(bus_.PortFailure());
  const Status again = Probe(address);
  if (again == Status::kPortError) throw PortError(bus_.PortFailure());
  if (again == Status::kNoReply) return std::nullopt;
  return m;
}

// The selection the pattern stands for: its digits, with F as a wildcard nibble, in the
// identification number's BCD form (F is no decimal digit, so it is carried as its own value).
Address BusScanner::SelectionOf(const SearchPattern& pattern) const {
  Address a = Address::Ident(0);
  a.manufacturer = pattern.manufacturer;
  a.version = pattern.version;
  a.medium = pattern.medium;
  std::uint32_t wild = 0;
  for (char c : pattern.ident) {
    const std::uint32_t nibble = (c == 'F' || c == 'f') ? 0xF : static_cast<std::uint32_t>(c - '0');
    wild = (wild << 4) | nibble;
  }
  a.wildcardIdent = wild;
  return a;
}

// The identification number a selection names, when it names one: no wildcard digit left.
std::optional<std::uint32_t> BusScanner::NumberSelected(const Address& address) {
  if (!address.secondary) return std::nullopt;
  if (!address.wildcardIdent) return address.identNumber;
  std::uint32_t number = 0;
  for (int shift = 28; shift >= 0; shift -= 4) {
    const std::uint32_t digit = (*address.wildcardIdent >> shift) & 0xF;
    if (digit > 9) return std::nullopt;
    number = number * 10 + digit;
  }
  return number;
}

FoundMeter BusScanner::ReadFound(const Address& address, int primary, Status& read) {
  FoundMeter m;
  m.primaryAddress = primary;
  ReadOptions first_only;
  first_only.allTelegrams = false;
  const Reading r = bus_.Read(address, first_only);
  read = r.result;
  if (r.result != Status::kOk || r.telegrams.empty()) {
    m.readable = false;
    const auto number = NumberSelected(address);
    m.identKnown = number.has_value();
    m.identNumber = number.value_or(0);
    return m;
  }
  m.identNumber = r.header.identNumber;
  m.manufacturer = r.header.manufacturer;
  m.version = r.header.version;
  m.medium = r.header.medium;
  return m;
}

void BusScanner::Report(const FoundMeter& m) {
  results_.push_back(m);
  if (found_) found_(m);
}

std::vector<FoundMeter> BusScanner::ScanPrimary(int first, int last) {
  if (first < 0 || last > 250 || first > last) {
    throw ArgumentError("primary scan range " + std::to_string(first) + "-" + std::to_string(last) +
                        " is not within 0-250");
  }
  results_.clear();
  stop_ = false;
  for (int a = first; a <= last && !stop_; ++a) {
    const Address address = Address::Primary(static_cast<std::uint8_t>(a));
    const Status answer = Probe(address);
    if (answer == Status::kPortError) throw PortError(bus_.PortFailure());
    if (answer == Status::kOk) {
      if (const auto m = Confirmed(address, a)) Report(*m);
    } else if (answer != Status::kNoReply) {
      FoundMeter m;
      m.primaryAddress = a;
      m.collision = true;
      m.readable = false;
      m.identKnown = false;
      Report(m);
    }
    if (progress_) progress_(a - first + 1, last - first + 1);
  }
  return results_;
}

// Fixes the first wildcard from the left, digit by digit, wherever several meters answer. A
// number without wildcards that still draws several answers is one number on several meters:
// reported as a collision, never read.
void BusScanner::Search(SearchPattern pattern) {
  if (stop_) return;
  const Address selection = SelectionOf(pattern);
  const Status answer = Probe(selection);
  if (progress_) progress_(probes_, 0);
  if (answer == Status::kPortError) throw PortError(bus_.PortFailure());
  if (answer == Status::kNoReply) return;
  const auto wildcard = pattern.ident.find_first_of("Ff");
  if (answer == Status::kOk) {
    const auto confirmed = Confirmed(selection, -1);
    if (!confirmed) return;
    const FoundMeter& m = *confirmed;
    if (!m.readable && wildcard != std::string::npos) {
      // Its number is unknown while the pattern still has wildcards: narrowed digit by digit
      // as for several answers, so the meter is reported under the number it answers to.
      for (char d = '0'; d <= '9' && !stop_; ++d) {
        pattern.ident[wildcard] = d;
        Search(pattern);
      }
      return;
    }
    const bool seen = std::any_of(results_.begin(), results_.end(), [&](const FoundMeter& r) {
      return r.readable && m.readable && r.identNumber == m.identNumber;
    });
    if (!seen) Report(m);
    return;
  }
  if (wildcard == std::string::npos) {
    FoundMeter m;
    m.identNumber = static_cast<std::uint32_t>(std::stoul(pattern.ident));
    m.collision = true;
    m.readable = false;
    Report(m);
    return;
  }
  for (char d = '0'; d <= '9' && !stop_; ++d) {
    pattern.ident[wildcard] = d;
    Search(pattern);
  }
}

std::vector<FoundMeter> BusScanner::SearchSecondary(const SearchPattern& pattern) {
  if (!ValidIdent(pattern.ident)) {
    throw ArgumentError("pattern \"" + Shown(pattern.ident) +
                        "\" is not 8 characters of digits and F (F: any digit)");
  }
  results_.clear();
  stop_ = false;
  // A link reset at the selected-meter address first: no meter stays selected from before.
  bus_.Probe(Address::Primary(253));
  Search(pattern);
  return results_;
}

void BusScanner::SetFoundCallback(std::function<void(const FoundMeter&)> callback) {
  found_ = std::move(callback);
}
void BusScanner::SetProgressCallback(std::function<void(int, int)> callback) {
  progress_ = std::move(callback);
}
void BusScanner::RequestStop() {
  stop_ = true;
}

}  // namespace velmar
