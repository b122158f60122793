// Who else on this machine may read or change a file the tools take secrets and orders from.
// A configuration that other users can write lets any of them point the collector at another
// broker or at other meters; one they can read gives away the broker password or the keys that
// decrypt the meters' telegrams.
#pragma once

#include <string>
#include <string_view>

namespace velmar::tools {

// "" when other users cannot write `path` (or it does not exist: opening it says so later);
// else one line naming the file, its mode and the chmod that fixes it. Never throws; one stat.
std::string CheckNotWritableByOthers(const std::string& path);

// "" when other users cannot read `path`; else one warning line naming the file, `secret` (what
// it holds: "the broker password", "meter keys"), its mode and `chmod 600`. Never throws; one
// stat. The owner's group may read it: a service user is often given the file that way.
std::string SecretReadableWarning(const std::string& path, std::string_view secret);

}  // namespace velmar::tools
