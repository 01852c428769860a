// Where "Save Logs" and veltra-cli --log put the traffic log beside the error log.
#pragma once

#include <string>

namespace veltra::session {

// The error log's path (UTF-8) with "txt" in place of its last three characters
// (characters, not bytes): "Veltra.log" gives "Veltra.txt". A name that ends so
// already would be the error log's own: "spy.txt" gives "spy-traffic.txt", so one
// log never overwrites the other.
std::string TrafficLogPath(const std::string& errorLogPath);

}  // namespace veltra::session
