// One port a script opened: the engine's TSerialPort owned by the script thread, the
// bytes received and not yet consumed by expect, and writes that a script waits for.
// This is the only place the script layer touches the component directly.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "automation/script/script_owner.h"
#include "engine/serial_port.h"

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
  bool IsOpen() const { return port_->Active(); }

  // Sends and waits until the port has written the bytes; false with the reason.
  bool Send(const std::string& bytes, std::string* why);

  // Received and not yet consumed; the oldest bytes go beyond kBufferLimit.
  std::string& Buffer() { return buffer_; }
  // Grows with every block received: a waiting matcher looks again only then.
  std::uint64_t Arrivals() const { return arrivals_; }
  static constexpr std::size_t kBufferLimit = 1u << 20;

  void SetTrace(bool on) { trace_ = on; }
  engine::TSerialPort& Port() { return *port_; }

 private:
  void RxCluster();
  void WriteDone();
  void ProcessError(Cardinal place, Cardinal code, const std::string& msg, Byte noise);

  TScriptOwner& owner_;
  std::string name_;
  TLog log_;
  std::unique_ptr<engine::TSerialPort> port_;
  std::string buffer_;
  std::uint64_t arrivals_ = 0;
  bool trace_ = false;
  // The write in flight and how it ended.
  bool writing_ = false, writeFailed_ = false;
  Cardinal written_ = 0;
  Cardinal openError_ = 0;
};

// Bytes as a log shows them: printable ASCII as it is, others as <XX>.
std::string ShownBytes(const std::string& bytes);

}  // namespace veltra::script
