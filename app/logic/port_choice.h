// Which port a port list preselects before the user has chosen one.
#pragma once

#include <string>
#include <vector>

namespace veltra::logic {

// The entry preselected when the port's own name is not listed (nothing stored or
// chosen yet): Port 1 the simulated scanner and Port 2 the simulated cash register,
// so that the device tests get answers and spy mode runs at the first click. Where
// those are not listed, Port 1 takes the second entry (the only one of a list of one)
// and Port 2 another entry than Port 1, as one device cannot be opened twice.
// -1 for an empty list.
int OutOfTheBoxPortIndex(const std::vector<std::string>& entries, bool port2);

}  // namespace veltra::logic
