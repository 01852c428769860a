// Why opening a port failed, in words a technician can act on. The Win32 code from
// GetLastError says only "access denied" or "file not found"; the lower half that
// refused knows more (not in the dialout group, held by another program, not a
// serial port, host refused the connection) and leaves it here.
#pragma once

#include <string>

namespace veltra::platform {

// The text the last CreateFileA on this thread left; empty when it succeeded or the
// layer knows no more than the code. Each CreateFileA clears it first.
std::string LastOpenFailureText();
// Set by the lower halves while a CreateFileA runs on this thread.
void SetLastOpenFailureText(std::string text);

}  // namespace veltra::platform
