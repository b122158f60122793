#include "core/text.hpp"

namespace velmar {

std::string_view Trim(std::string_view text, std::string_view chars) {
  const std::size_t first = text.find_first_not_of(chars);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(chars) - first + 1);
}

}  // namespace velmar
