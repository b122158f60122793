// What became of a wireless telegram, as the tools publish it: a result number beside the
// wired meters' ones, and its status in words.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "velmar/wmbus.hpp"

namespace velmar::tools {

// Why `t` cannot be published, "" when it can: its frame or security layer's failure, or
// records that do not hold together (a telegram cut short on its way: a stick delivers it
// without the CRCs that would have told). Never throws beyond std::bad_alloc.
std::string RadioError(const WirelessTelegram& t);
// What became of the telegram: the decoder's status, or kUnreadableRecords for a frame that
// held with records that do not. Its published code and its words follow.
Status RadioStatus(const WirelessTelegram& t);
std::int16_t RadioResult(const WirelessTelegram& t);
std::string_view RadioStatusText(const WirelessTelegram& t);

}  // namespace velmar::tools
