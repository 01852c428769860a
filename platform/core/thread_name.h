// Names the calling thread, so that top, gdb and perf show which port thread is
// which ("veltra-worker", "veltra-tty-io", ...). Names longer than the system
// allows are cut; failure is harmless and ignored.
#pragma once

namespace veltra::platform {

void NameCurrentThread(const char* name);

}  // namespace veltra::platform
