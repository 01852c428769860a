// A device at the far end of a virtual cable, for the window's tests: it opens its end
// through the Win32 calls and reads and writes synchronously, serving the window's
// event loop while it waits.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QPlainTextEdit>
#include <QTest>
#include <QTextBlock>

#include <memory>
#include <string>

#include "app/veltra.h"
#include "platform/core/comm_api.h"
#include "platform/virtual/virtual_ports.h"
#include "tests/platform/far_end_open.h"

namespace veltra::test {

// A fresh virtual pair; names are unique within the process.
inline std::pair<std::string, std::string> NewPair(bool instant = true) {
  static int counter = 0;
  const std::string base = "VLOGIC" + std::to_string(++counter);
  const bool made = platform::CreateVirtualPair(base + "A", base + "B", {instant});
  if (!made) qFatal("virtual pair not made");
  return {base + "A", base + "B"};
}

class TFarDevice {
 public:
  explicit TFarDevice(const std::string& name, win::DWORD baud = 9600) {
    handle_ = testing::OpenFarEnd(name, baud);
    control_ = platform::ControlVirtualEnd(name);
  }
  ~TFarDevice() { win::CloseHandle(handle_); }
  TFarDevice(const TFarDevice&) = delete;
  TFarDevice& operator=(const TFarDevice&) = delete;

  bool IsOpen() const { return handle_ != win::INVALID_HANDLE_VALUE; }
  platform::VirtualEndControl& Control() { return *control_; }

  void Write(const std::string& bytes) {
    win::DWORD written = 0;
    win::WriteFile(handle_, bytes.data(), static_cast<win::DWORD>(bytes.size()), &written, nullptr);
  }
  void Escape(win::DWORD function) { win::EscapeCommFunction(handle_, function); }

  std::string ReadAvailable() {
    std::string bytes;
    char buffer[4096];
    win::DWORD got = 0;
    while (win::ReadFile(handle_, buffer, sizeof buffer, &got, nullptr) && got > 0)
      bytes.append(buffer, got);
    return bytes;
  }

  // Collects what arrives until `count` bytes are there or `ms` have passed.
  std::string ReadUntil(std::size_t count, int ms = 5000) {
    QDeadlineTimer deadline(ms);
    while (received_.size() < count && !deadline.hasExpired()) {
      received_ += ReadAvailable();
      if (received_.size() < count) QTest::qWait(5);
    }
    std::string bytes = received_;
    received_.clear();
    return bytes;
  }

  // What arrives within `ms` (for "nothing was sent").
  std::string ReadFor(int ms) {
    QTest::qWait(ms);
    std::string bytes = received_ + ReadAvailable();
    received_.clear();
    return bytes;
  }

 private:
  win::HANDLE handle_ = win::INVALID_HANDLE_VALUE;
  std::unique_ptr<platform::VirtualEndControl> control_;
  std::string received_;
};

// The pane's lines as Latin-1 bytes, after the window has written what waits.
inline std::vector<std::string> PaneLines(app::TVeltra& w, QPlainTextEdit* pane) {
  w.FlushPanes();
  std::vector<std::string> lines;
  for (QTextBlock b = pane->document()->begin(); b.isValid(); b = b.next())
    lines.push_back(b.text().toLatin1().toStdString());
  if (!lines.empty() && lines.back().empty()) lines.pop_back();
  return lines;
}

// Opens a window port on `name` with short receive cuts, so tests see blocks quickly.
inline bool OpenWindowPort(engine::TSerialPort& port, const std::string& name,
                           engine::Cardinal baud = 9600) {
  port.SetCommPort(name);
  port.SetBaudRate(baud);
  port.SetRTOExtraDelayTime(20);
  port.SetEventChar(0x01);  // not 0x00: a NUL in the data would cut its block early
  port.SetActive(true);
  return port.Active();
}

}  // namespace veltra::test
