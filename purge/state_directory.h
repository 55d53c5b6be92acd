// The directory that systemd makes for the service (StateDirectory=trevane in the units) and
// names in $STATE_DIRECTORY; the first entry when it lists several, none when it is unset or
// empty.
#pragma once

#include <optional>
#include <string>

std::optional<std::string> state_directory();
