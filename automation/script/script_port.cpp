#include "automation/script/script_port.h"

#include <cstdio>

namespace veltra::script {

namespace {

// Errors and warnings: a script's log stays readable.
constexpr Byte kScriptNoise = 1;
// Beyond the port's own write time-out, which ends a stalled write by itself.
constexpr auto kWriteSlack = std::chrono::seconds(2);

// The sink words every header itself (the prefixes go unused) and Send words a short
// write as the script's error.
session::TSessionOptions ScriptSessionOptions() {
  session::TSessionOptions options;
  options.ReportShortWrites = false;
  return options;
}

}  // namespace

std::string ShownBytes(const std::string& bytes) {
  std::string shown;
  for (char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b >= 0x20 && b < 0x7F) {
      shown.push_back(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "<%02X>", b);
      shown += hex;
    }
  }
  return shown;
}

TScriptPort::TScriptPort(TScriptOwner& owner, const std::string& name, TLog log)
    : owner_(owner),
      name_(name),
      log_(std::move(log)),
      sink_(name_, log_),
      session_(std::make_unique<session::TPortSession>(owner.Calls, session::kPort1Prefixes, sink_,
                                                       ScriptSessionOptions())) {
  session_->AddDumpObserver(
      [this](session::TPortSession&, std::string_view block, bool) { Received(block); });
  session_->AddSentObserver(
      [this](session::TPortSession&, std::string_view bytes, bool) { Sent(bytes); });
  engine::TSerialPort& port = session_->Port();
  port.SetErrorNoise(kScriptNoise);
  // A script waits for answers: a block is cut as soon as the line is quiet.
  port.SetRTOExtraDelayTime(0);
  port.SetCommPort(name);
}

TScriptPort::~TScriptPort() {
  Close();
  session_.reset();  // waits for the worker, serving its calls
}

void TScriptPort::Apply(const TPortConfig& c) {
  using P = engine::TSerialPort;
  P& port = session_->Port();
  auto set = [&port](const auto& value, auto setter) {
    if (value) (port.*setter)(*value);
  };
  set(c.BaudRate, &P::SetBaudRate);
  set(c.DataBits, &P::SetDataBits);
  set(c.StopBits, &P::SetStopBits);
  set(c.ParityType, &P::SetParityType);
  set(c.FlowControl, &P::SetFlowControl);
  if (c.RTOCharDelayTime || c.WTOCharDelayTime) port.SetXTOAuto(false);
  set(c.WTOCharDelayTime, &P::SetWTOCharDelayTime);
  set(c.RTOCharDelayTime, &P::SetRTOCharDelayTime);
  set(c.WTOExtraDelayTime, &P::SetWTOExtraDelayTime);
  set(c.RTOExtraDelayTime, &P::SetRTOExtraDelayTime);
  set(c.EventChar, &P::SetEventChar);
  set(c.ErrorNoise, &P::SetErrorNoise);
}

bool TScriptPort::Open(std::string* why) {
  buffer_.clear();
  return session_->Open(why);
}

void TScriptPort::Close() {
  if (!IsOpen()) return;
  session_->Port().SetActive(false);
  owner_.Calls.ServePending();
}

bool TScriptPort::Send(const std::string& bytes, std::string* why) {
  if (bytes.empty()) return true;
  if (!IsOpen()) {
    *why = name_ + " is not open";
    return false;
  }
  const engine::TSerialPort& port = session_->Port();
  const double budgetMs = static_cast<double>(bytes.size()) * port.WTOCharDelayTime() / 1000.0 +
                          port.WTOExtraDelayTime();
  const auto deadline = Clock::now() +
                        std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double, std::milli>(budgetMs)) +
                        kWriteSlack;
  const std::uint64_t before = session_->Counters().BytesOut;
  const std::uint64_t id = ++sends_;
  // Queued behind a write that timed out earlier and may still be in flight. The line
  // end is empty: the script sends its own.
  session_->Send(bytes, [this, id](const session::TSendResult& result) {
    ended_ = id;
    endedWhole_ = result.Whole;
  });
  const auto end = owner_.WaitUntil([this, id] { return ended_ == id; }, deadline);
  if (end == TScriptOwner::TEnd::Stopped) {
    *why = "stopped";
    return false;
  }
  if (end == TScriptOwner::TEnd::Done && endedWhole_) return true;
  const std::uint64_t written =
      end == TScriptOwner::TEnd::Done ? session_->Counters().BytesOut - before : 0;
  *why = name_ + " wrote " + std::to_string(written) + " of " + std::to_string(bytes.size()) +
         " bytes";
  return false;
}

void TScriptPort::Received(std::string_view block) {
  if (trace_) log_(name_ + " < " + ShownBytes(std::string(block)));
  buffer_ += block;
  if (buffer_.size() > kBufferLimit) buffer_.erase(0, buffer_.size() - kBufferLimit / 2);
}

void TScriptPort::Sent(std::string_view bytes) {
  if (trace_) log_(name_ + " > " + ShownBytes(std::string(bytes)));
}

}  // namespace veltra::script
