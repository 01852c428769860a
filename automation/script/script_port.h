// One port a script opened: a port session owned by the script thread (its owner-call
// queue is the script owner's), the bytes received and not yet consumed by expect, and
// writes that a script waits for. The session wires the port, accounts for writes and
// words the reports; this layer keeps only what a script adds.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "automation/script/script_owner.h"
#include "engine/serial_port.h"
#include "session/port_session.h"

namespace veltra::script {

using engine::Byte;
using engine::Cardinal;
using engine::Char;
using engine::Integer;
using engine::Word;

// What a script may set on a port; unset fields stay as they are.
struct TPortConfig {
  std::optional<Cardinal> BaudRate;
  std::optional<Byte> DataBits, ParityType, StopBits;  // StopBits: 0 one, 1 one and a half, 2 two
  std::optional<Integer> FlowControl;
  std::optional<Cardinal> RTOCharDelayTime, WTOCharDelayTime;
  std::optional<Word> RTOExtraDelayTime, WTOExtraDelayTime;
  std::optional<Char> EventChar;
  std::optional<Byte> ErrorNoise;
};

class TScriptPort {
 public:
  using TLog = std::function<void(const std::string&)>;
  TScriptPort(TScriptOwner& owner, const std::string& name, TLog log);
  ~TScriptPort();
  TScriptPort(const TScriptPort&) = delete;
  TScriptPort& operator=(const TScriptPort&) = delete;

  const std::string& Name() const { return name_; }
  void Apply(const TPortConfig& config);
  // False with a technician's reason when the port cannot be opened.
  bool Open(std::string* why);
  void Close();
  bool IsOpen() const { return session_->Port().Active(); }

  // Sends and waits until the port has written the bytes; false with the reason.
  bool Send(const std::string& bytes, std::string* why);

  // Received and not yet consumed; the oldest bytes go beyond kBufferLimit.
  std::string& Buffer() { return buffer_; }
  // Grows with every block received: a waiting matcher looks again only then.
  std::uint64_t Arrivals() const { return session_->Counters().Blocks; }
  static constexpr std::size_t kBufferLimit = 1u << 20;

  void SetTrace(bool on) { trace_ = on; }
  engine::TSerialPort& Port() { return session_->Port(); }

 private:
  // The session's reports as "NAME: Code ... Text: ..."; the trace words the traffic
  // itself, from the observers, and only while it is on.
  class TSink : public session::TLogSink {
   public:
    TSink(const std::string& name, const TLog& log) : name_(name), log_(log) {}
    std::string Header(std::string_view) override { return name_ + ": "; }
    void Traffic(std::string_view) override {}
    void Dump(std::string_view) override {}
    void Event(std::string_view) override {}
    void Report(std::string_view entry) override { log_(std::string(entry)); }
    bool WantsTraffic() const override { return false; }
    bool WantsEvents() const override { return false; }

   private:
    const std::string& name_;
    const TLog& log_;
  };

  void Received(std::string_view block);
  void Sent(std::string_view bytes);

  TScriptOwner& owner_;
  std::string name_;
  TLog log_;
  TSink sink_;
  std::string buffer_;
  bool trace_ = false;
  // The last Send: its number, and the number and outcome of the last that ended.
  std::uint64_t sends_ = 0, ended_ = 0;
  bool endedWhole_ = false;
  // Last: it closes first, while what its events reach still exists.
  std::unique_ptr<session::TPortSession> session_;
};

// Bytes as a log shows them: printable ASCII as it is, others as <XX>.
std::string ShownBytes(const std::string& bytes);

}  // namespace veltra::script
