// Manual-reset events, waits, critical sections and sleep, for POSIX.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/core/comm_api.h"
#include "platform/core/handles.h"

namespace veltra::platform {
namespace {

using namespace win;

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

class EventObject final : public EventHandle {
 public:
  EventObject(bool manualReset, bool initial) : manualReset_(manualReset), signalled_(initial) {}

  void Set() override {
    std::lock_guard lock(mutex_);
    signalled_ = true;
    for (Waiter* w : waiters_) w->Poke();
  }
  void Reset() override {
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

}  // namespace veltra::platform

namespace veltra::win {

using platform::EventFor;

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

void Sleep(DWORD milliseconds) {
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

}  // namespace veltra::win
