// Test seam of the port discovery: a fake root with sys/, proc/ and dev/ under it
// stands in for the machine's. libudev is left out while it is set, since it reads
// only the real tree.
#pragma once

#include <optional>
#include <string>

namespace veltra::platform {

// From now on discovery, the monitor and the identity of a port read under `root`
// (std::nullopt: the real "/"). Affects the whole process.
void UseDiscoveryRootForTests(std::optional<std::string> root);

}  // namespace veltra::platform
