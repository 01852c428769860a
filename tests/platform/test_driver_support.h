// Small helpers for driving ports through the Win32 calls in tests.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "platform/core/comm_api.h"
#include "platform/virtual/virtual_ports.h"
#include "tests/platform/test_wait.h"

namespace veltra::test {

using namespace veltra::win;

// An open port, closed at the end of the test.
class Port {
 public:
  explicit Port(const std::string& name)
      : handle_(CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                            OPEN_EXISTING, FILE_FLAG_OVERLAPPED, 0)) {}
  ~Port() {
    if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  }
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;
  HANDLE h() const { return handle_; }
  bool ok() const { return handle_ != INVALID_HANDLE_VALUE; }

 private:
  HANDLE handle_;
};

// An OVERLAPPED with its own manual-reset event.
struct Overlapped {
  Overlapped() { ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr); }
  ~Overlapped() { CloseHandle(ov.hEvent); }
  Overlapped(const Overlapped&) = delete;
  Overlapped& operator=(const Overlapped&) = delete;
  bool Signalled(DWORD ms = 0) const { return WaitForSingleObject(ov.hEvent, ms) == WAIT_OBJECT_0; }
  OVERLAPPED ov;
};

// A fresh pair of virtual ends for one test.
struct Pair {
  explicit Pair(bool instant = true) {
    static std::atomic<int> counter{0};
    const int n = counter++;
    a = "VTEST" + std::to_string(n) + "A";
    b = "VTEST" + std::to_string(n) + "B";
    EXPECT_TRUE(platform::CreateVirtualPair(a, b, {instant}));
  }
  ~Pair() { platform::RemoveVirtualPair(a); }
  std::string a, b;
};

inline void SetLine(HANDLE h, DWORD baud, BYTE byteSize = 8, BYTE parity = NOPARITY,
                    BYTE stopBits = ONESTOPBIT, DWORD flags = DCB_fBinary) {
  DCB dcb;
  ASSERT_TRUE(GetCommState(h, &dcb));
  dcb.BaudRate = baud;
  dcb.ByteSize = byteSize;
  dcb.Parity = parity;
  dcb.StopBits = stopBits;
  dcb.Flags = flags;
  ASSERT_TRUE(SetCommState(h, &dcb)) << GetLastError();
}

// Reads return at once with what is queued, writes have no time-out.
inline void ImmediateReads(HANDLE h, DWORD writeTimeout = 0) {
  COMMTIMEOUTS t{MAXDWORD, 0, 0, 0, writeTimeout};
  ASSERT_TRUE(SetCommTimeouts(h, &t));
}

inline bool Send(HANDLE h, const std::string& bytes) {
  Overlapped o;
  DWORD written = 0;
  if (WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &o.ov)) return true;
  if (GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(h, &o.ov, &written, TRUE) && written == bytes.size();
}

// ClearCommError's hold flags (and the whole COMSTAT), or its line errors.
inline DWORD Holds(HANDLE h, COMSTAT* out = nullptr) {
  COMSTAT stat;
  DWORD errors = 0;
  EXPECT_TRUE(ClearCommError(h, &errors, &stat));
  if (out != nullptr) *out = stat;
  return stat.Flags;
}

inline DWORD Errors(HANDLE h) {
  COMSTAT stat;
  DWORD errors = 0;
  EXPECT_TRUE(ClearCommError(h, &errors, &stat));
  return errors;
}

inline DWORD InQueue(HANDLE h) {
  COMSTAT stat;
  DWORD errors = 0;
  return ClearCommError(h, &errors, &stat) ? stat.cbInQue : 0;
}

// Reads what is queued now (the port must have immediate reads); leaves the line
// errors for ClearCommError.
inline std::string ReadQueued(HANDLE h) {
  std::string out;
  char chunk[4096];
  for (;;) {
    Overlapped o;
    DWORD got = 0;
    if (!ReadFile(h, chunk, sizeof chunk, &got, &o.ov)) return out + "<failed>";
    out.append(chunk, got);
    if (got < sizeof chunk) return out;
  }
}

// Collects `count` bytes, waiting for them to arrive.
inline std::string Receive(HANDLE h, std::size_t count,
                           std::chrono::milliseconds deadline = std::chrono::milliseconds(3000)) {
  std::string got;
  WaitUntil(
      [&] {
        got += ReadQueued(h);
        return got.size() >= count;
      },
      deadline);
  return got;
}

}  // namespace veltra::test
