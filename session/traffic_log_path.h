// Where "Save Logs" and veltra-cli --log put the traffic log beside the error log.
#pragma once

#include <string>

namespace veltra::session {

// The traffic log's path for the error log at `errorLogPath` (a byte string, UTF-8 or as
// the file system has it): always in the same folder, never the same file. A name with
// a three-character extension gets "txt" for it ("Veltra.log" gives "Veltra.txt");
// any other name gets "-traffic.txt" in place of its extension ("Session.txt" gives
// "Session-traffic.txt", "x.t" "x-traffic.txt", ".x" ".x-traffic.txt").
std::string TrafficLogPath(const std::string& errorLogPath);

}  // namespace veltra::session
