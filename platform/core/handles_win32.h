// The Windows side of the handle table: an event is a native event (so the
// system's overlapped calls can signal it too), and the system's last error is
// read right after a native call fails.
#pragma once

#include "platform/core/handles.h"

namespace veltra::platform {

// The value INVALID_HANDLE_VALUE has in the layer; <windows.h> redefines the name
// as a pointer.
inline constexpr win::HANDLE kInvalidLayerHandle = 0xFFFFFFFFu;

class NativeEvent final : public EventHandle {
 public:
  NativeEvent(bool manualReset, bool initial);
  ~NativeEvent() override;
  NativeEvent(const NativeEvent&) = delete;
  NativeEvent& operator=(const NativeEvent&) = delete;
  void Set() override;
  void Reset() override;
  void* Native() const { return native_; }  // the system's HANDLE

 private:
  void* native_;
};

// ::GetLastError(), for files that keep <windows.h> out.
win::DWORD NativeError();

}  // namespace veltra::platform
