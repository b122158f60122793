// Every text the control shows a person: message-box texts and titles, the link error texts and
// the decoder's notices. They are kept here, together and exactly as the meter's users know
// them (spelling included), so a translator or a reviewer finds them all in one place.
#pragma once

#include <string_view>

namespace velmar::text {

// Title of every failure message box of the meter commands.
inline constexpr std::string_view kErrorTitle = "Error";

// Meter reading.
inline constexpr std::string_view kCouldNotInit = "Could not init communication";

// A command that got no answer: with the reply time-out expired, and without.
inline constexpr std::string_view kTimeoutNoReply = "Communication Timeout. No reply.";
inline constexpr std::string_view kNoReply = "No reply. ";

// Tariff table. The size message carries no title of its own; the two confirmation messages are
// followed by the status byte as a leading-space number.
inline constexpr std::string_view kTableTooLarge =
    "SetIntervals. Size of tariff data grater than maximum size!";
inline constexpr std::string_view kFirstBlockNotConfirmed =
    "No confirmation on written block (Wrong password/meter closed?): ";
inline constexpr std::string_view kBlockNotConfirmed = "No confirmation on written tariff block: ";

// Link errors -1 to -7, and the text of any other code.
inline constexpr std::string_view kWrongStartByte =
    "Communication error. Not a correct start byte (Mbus message).";
inline constexpr std::string_view kWrongStopByte =
    "Communication error. Not a correct End byte (Mbus message).";
inline constexpr std::string_view kStructureError =
    "Communication error. Other Mbus structure error.";
inline constexpr std::string_view kChecksumError =
    "Communication error. Checksum error in message.";
inline constexpr std::string_view kUndecodedData =
    "Com.err. Old, non-decoded, data in Mbus message when trying to decode a new message.";
inline constexpr std::string_view kWrongLength =
    "Com.err. Wrong length in Mbus message compared with recieved data.";
inline constexpr std::string_view kWrongBlockType =
    "Com.err. Expected one type of userdata but recieved another type.";
inline constexpr std::string_view kUnknownLinkError =
    "Com.Err. Unknown error when recieving Mbus data.";

// Decoder notices, shown whatever noErrorPopup says. The power notice is followed by the
// subunit as a leading-space number.
inline constexpr std::string_view kIntegerOverflow = "Overflow. Larger than 4 bytes integer!";
inline constexpr std::string_view kUnusualPowerUnit = "Ovanlig unit (Effekt)";

// Texts of the status byte, bits 7 to 0. Bits 0-4 are the standard's (application busy, any
// application error, power low, permanent error, temporary error); bit 5 is this meter's
// installation error; bits 6 and 7 have no text.
inline constexpr std::string_view kStatusBits[8] = {"",
                                                    "",
                                                    "Installation Error",
                                                    "Temporary Error",
                                                    "Permanent Error",
                                                    "Power Low",
                                                    "Any Application Error",
                                                    "Application Busy"};

}  // namespace velmar::text
