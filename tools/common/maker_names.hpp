// Readable names of meter makers by their three-letter M-Bus manufacturer code (the FLAG
// association's list), for the places a person reads them.
#pragma once

#include <string>

namespace velmar::tools {

// "KAM (Kamstrup)" for a code the list knows, else the code alone ("" stays "").
std::string ManufacturerText(const std::string& code);

}  // namespace velmar::tools
