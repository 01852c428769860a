// Handle table, manual-reset events, waits, critical sections, tick count, sleep
// and the thread's last error, for POSIX.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/core/comm_api.h"
#include "platform/core/handles.h"

namespace veltra::platform {
namespace {

using namespace win;

struct HandleTable {
  std::mutex mutex;
  std::unordered_map<HANDLE, std::shared_ptr<HandleObject>> objects;
  HANDLE next = 1;
};

HandleTable& Table() {
  static HandleTable* table = new HandleTable;  // lives past static destructors of tests
  return *table;
}

thread_local DWORD lastError = ERROR_SUCCESS;

// One waiting thread; events it waits on poke it when they are set.
struct Waiter {
  std::mutex mutex;
  std::condition_variable woken;
  bool poked = false;
  void Poke() {
    std::lock_guard lock(mutex);
    poked = true;
    woken.notify_one();
  }
};

class EventObject : public HandleObject {
 public:
  EventObject(bool manualReset, bool initial) : manualReset_(manualReset), signalled_(initial) {}

  void Set() {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    for (Waiter* w : waiters_) w->Poke();
  }
  void Reset() {
    std::lock_guard lock(mutex_);
    signalled_ = false;
  }
  // Registers w unless the event is signalled already; a satisfied wait on an
  // auto-reset event consumes the signal.
  bool TryTakeOrRegister(Waiter* w) {
    std::lock_guard lock(mutex_);
    if (signalled_) {
      if (!manualReset_) signalled_ = false;
      return true;
    }
    waiters_.push_back(w);
    return false;
  }
  void Unregister(Waiter* w) {
    std::lock_guard lock(mutex_);
    std::erase(waiters_, w);
  }

 private:
  std::mutex mutex_;
  const bool manualReset_;
  bool signalled_;
  std::vector<Waiter*> waiters_;
};

using Clock = std::chrono::steady_clock;

// Wait-any over events: the lowest index that is signalled wins, as on Windows.
DWORD WaitAny(const std::vector<std::shared_ptr<EventObject>>& events, DWORD milliseconds) {
  const bool forever = milliseconds == INFINITE;
  const auto deadline = Clock::now() + std::chrono::milliseconds(forever ? 0 : milliseconds);
  Waiter waiter;
  for (;;) {
    std::size_t registered = 0;
    DWORD result = WAIT_TIMEOUT;
    for (; registered < events.size(); ++registered) {
      if (events[registered]->TryTakeOrRegister(&waiter)) {
        result = WAIT_OBJECT_0 + static_cast<DWORD>(registered);
        break;
      }
    }
    if (result == WAIT_TIMEOUT) {
      std::unique_lock lock(waiter.mutex);
      if (forever) {
        waiter.woken.wait(lock, [&] { return waiter.poked; });
      } else {
        waiter.woken.wait_until(lock, deadline, [&] { return waiter.poked; });
      }
      waiter.poked = false;
    }
    for (std::size_t i = 0; i < registered; ++i) events[i]->Unregister(&waiter);
    if (result != WAIT_TIMEOUT) return result;
    if (!forever && Clock::now() >= deadline) {
      // One last look: a set that raced with the time-out still counts.
      for (std::size_t i = 0; i < events.size(); ++i) {
        if (events[i]->TryTakeOrRegister(&waiter)) {
          for (std::size_t j = 0; j < i; ++j) events[j]->Unregister(&waiter);
          return WAIT_OBJECT_0 + static_cast<DWORD>(i);
        }
      }
      for (const auto& e : events) e->Unregister(&waiter);
      return WAIT_TIMEOUT;
    }
  }
}

std::shared_ptr<EventObject> EventFor(HANDLE h) {
  return LookupHandleAs<EventObject>(h);
}

}  // namespace

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object) {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  if (t.next == INVALID_HANDLE_VALUE) return INVALID_HANDLE_VALUE;  // 4 billion opens: exhausted
  const HANDLE h = t.next++;
  t.objects.emplace(h, std::move(object));
  return h;
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE handle) {
  auto& t = Table();
  std::lock_guard lock(t.mutex);
  auto it = t.objects.find(handle);
  return it == t.objects.end() ? nullptr : it->second;
}

bool SignalEventHandle(HANDLE event) {
  auto e = EventFor(event);
  if (!e) return false;
  e->Set();
  return true;
}

}  // namespace veltra::platform

namespace veltra::win {

using platform::EventFor;

BOOL CloseHandle(HANDLE object) {
  std::shared_ptr<platform::HandleObject> taken;
  {
    auto& t = platform::Table();
    std::lock_guard lock(t.mutex);
    auto it = t.objects.find(object);
    if (it != t.objects.end()) {
      taken = std::move(it->second);
      t.objects.erase(it);
    }
  }
  if (!taken) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const DWORD error = taken->Close();
  if (error != ERROR_SUCCESS) {
    SetLastError(error);
    return FALSE;
  }
  return TRUE;
}

HANDLE CreateEventA(void* /*securityAttributes*/, BOOL manualReset, BOOL initialState,
                    const char* name) {
  if (name != nullptr) {  // named events are not needed by the engine
    SetLastError(ERROR_NOT_SUPPORTED);
    return 0;
  }
  const HANDLE h = platform::RegisterHandle(
      std::make_shared<platform::EventObject>(manualReset != FALSE, initialState != FALSE));
  if (h == INVALID_HANDLE_VALUE) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return 0;  // CreateEvent fails with a null handle, not INVALID_HANDLE_VALUE
  }
  SetLastError(ERROR_SUCCESS);
  return h;
}

BOOL SetEvent(HANDLE event) {
  auto e = EventFor(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  e->Set();
  return TRUE;
}

BOOL ResetEvent(HANDLE event) {
  auto e = EventFor(event);
  if (!e) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  e->Reset();
  return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
  return WaitForMultipleObjects(1, &handle, FALSE, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
  if (count == 0 || count > 64 || handles == nullptr || waitAll != FALSE) {
    SetLastError(ERROR_INVALID_PARAMETER);  // wait-all is not needed by the engine
    return WAIT_FAILED;
  }
  std::vector<std::shared_ptr<platform::EventObject>> events;
  events.reserve(count);
  for (DWORD i = 0; i < count; ++i) {
    auto e = EventFor(handles[i]);
    if (!e) {
      SetLastError(ERROR_INVALID_HANDLE);
      return WAIT_FAILED;
    }
    events.push_back(std::move(e));
  }
  return platform::WaitAny(events, milliseconds);
}

struct CriticalSectionImpl {
  std::recursive_mutex mutex;
};

void InitializeCriticalSection(CRITICAL_SECTION* section) {
  section->impl = new CriticalSectionImpl;
}
void EnterCriticalSection(CRITICAL_SECTION* section) {
  section->impl->mutex.lock();
}
void LeaveCriticalSection(CRITICAL_SECTION* section) {
  section->impl->mutex.unlock();
}
void DeleteCriticalSection(CRITICAL_SECTION* section) {
  delete section->impl;
  section->impl = nullptr;
}

DWORD GetTickCount() {
  // Milliseconds since an arbitrary start, wrapping at 2^32 like the Win32 counter.
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<DWORD>(static_cast<std::uint64_t>(ms.count()));
}

void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

DWORD GetLastError() {
  return platform::lastError;
}
void SetLastError(DWORD code) {
  platform::lastError = code;
}

}  // namespace veltra::win
