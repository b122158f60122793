#include "maker_names.hpp"

#include <array>
#include <string_view>
#include <utility>

namespace velmar::tools {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 27> kMakers = {{
    {"ABB", "ABB"},
    {"ACW", "Itron"},
    {"AMT", "Aquametro"},
    {"APA", "Apator"},
    {"DME", "Diehl Metering"},
    {"EFE", "Engelmann"},
    {"ELS", "Elster"},
    {"ELT", "Eltako"},
    {"ELV", "Elvaco"},
    {"EMH", "EMH metering"},
    {"FIN", "Finder"},
    {"GMC", "Gossen Metrawatt"},
    {"GWF", "GWF"},
    {"HYD", "Diehl Metering (Hydrometer)"},
    {"IME", "IME"},
    {"ITW", "Itron"},
    {"KAM", "Kamstrup"},
    {"LSE", "Siemens"},
    {"LUG", "Landis+Gyr"},
    {"NZR", "NZR"},
    {"QDS", "Qundis"},
    {"SBC", "Saia-Burgess Controls"},
    {"SEC", "Schneider Electric"},
    {"SEN", "Sensus"},
    {"SON", "Sontex"},
    {"TCH", "Techem"},
    {"ZRM", "Minol"},
}};

}  // namespace

std::string ManufacturerText(const std::string& code) {
  for (const auto& [c, name] : kMakers) {
    if (c == code) {
      std::string text = code;
      text += " (";
      text += name;
      text += ')';
      return text;
    }
  }
  return code;
}

}  // namespace velmar::tools
