#include "platform/core/windows_lean.h"

#include <string>

#include "platform/core/thread_name.h"

namespace veltra::platform {

// SetThreadDescription exists from Windows 10 1607 on and is missing from older
// SDK headers, so it is looked up at run time.
void NameCurrentThread(const char* name) {
  using SetDescription = HRESULT(WINAPI*)(HANDLE, PCWSTR);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return;
  const auto set = reinterpret_cast<SetDescription>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "SetThreadDescription")));
  if (set == nullptr) return;
  const std::wstring wide(name, name + std::char_traits<char>::length(name));
  set(GetCurrentThread(), wide.c_str());
}

}  // namespace veltra::platform
