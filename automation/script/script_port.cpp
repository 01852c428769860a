#include "automation/script/script_port.h"

#include <cstdio>

#include "session/log_lines.h"
#include "platform/core/win32_types.h"

namespace veltra::script {

namespace {

constexpr Cardinal kOpenFailedPlace = 112;
constexpr Cardinal kWriteFailedPlace = 903;
// Errors and warnings: a script's log stays readable.
constexpr Byte kScriptNoise = 1;
// Beyond the port's own write time-out, which ends a stalled write by itself.
constexpr auto kWriteSlack = std::chrono::seconds(2);

std::string OpenFailureText(const std::string& words, Cardinal code) {
  if (!words.empty()) return words;
  switch (code) {
    case win::ERROR_FILE_NOT_FOUND:
      return "no such port";
    case win::ERROR_ACCESS_DENIED:
    case win::ERROR_SHARING_VIOLATION:
      return "access denied: another program holds the port, or you may not open it";
    case win::ERROR_INVALID_FUNCTION:
      return "not a serial port";
    default:
      return "system error " + std::to_string(code);
  }
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
      port_(std::make_unique<engine::TSerialPort>(owner.Calls)) {
  using engine::TObject;
  port_->OnRxClusterEvent = [this](TObject*) { RxCluster(); };
  // The bytes up to the event character come at once.
  port_->OnRxEventCharEvent = [this](TObject*) { port_->SetReadRequest(true); };
  port_->OnWriteDone = [this](TObject*) { WriteDone(); };
  port_->OnProcessError = [this](TObject*, Cardinal place, Cardinal code, const std::string& msg,
                                 Byte noise) { ProcessError(place, code, msg, noise); };
  port_->SetErrorNoise(kScriptNoise);
  // A script waits for answers: a block is cut as soon as the line is quiet.
  port_->SetRTOExtraDelayTime(0);
  port_->SetCommPort(name);
}

TScriptPort::~TScriptPort() {
  Close();
  port_.reset();  // waits for the worker, serving its calls
}

void TScriptPort::Apply(const TPortConfig& c) {
  using P = engine::TSerialPort;
  auto set = [this](const auto& value, auto setter) {
    if (value) ((*port_).*setter)(*value);
  };
  set(c.BaudRate, &P::SetBaudRate);
  set(c.DataBits, &P::SetDataBits);
  set(c.StopBits, &P::SetStopBits);
  set(c.ParityType, &P::SetParityType);
  set(c.FlowControl, &P::SetFlowControl);
  if (c.RTOCharDelayTime || c.WTOCharDelayTime) port_->SetXTOAuto(false);
  set(c.WTOCharDelayTime, &P::SetWTOCharDelayTime);
  set(c.RTOCharDelayTime, &P::SetRTOCharDelayTime);
  set(c.WTOExtraDelayTime, &P::SetWTOExtraDelayTime);
  set(c.RTOExtraDelayTime, &P::SetRTOExtraDelayTime);
  set(c.EventChar, &P::SetEventChar);
  set(c.ErrorNoise, &P::SetErrorNoise);
}

bool TScriptPort::Open(std::string* why) {
  openError_ = 0;
  buffer_.clear();
  port_->SetActive(true);
  if (port_->Active()) return true;
  *why = OpenFailureText(port_->LastOpenFailure(), openError_);
  return false;
}

void TScriptPort::Close() {
  if (!port_->Active()) return;
  port_->SetActive(false);
  owner_.Calls.ServePending();
}

bool TScriptPort::Send(const std::string& bytes, std::string* why) {
  if (bytes.empty()) return true;
  if (!port_->Active()) {
    *why = name_ + " is not open";
    return false;
  }
  if (trace_) log_(name_ + " > " + ShownBytes(bytes));
  const double budgetMs = static_cast<double>(bytes.size()) * port_->WTOCharDelayTime() / 1000.0 +
                          port_->WTOExtraDelayTime();
  const auto deadline = Clock::now() +
                        std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double, std::milli>(budgetMs)) +
                        kWriteSlack;
  written_ = 0;
  writeFailed_ = false;
  // A write that timed out earlier may still be in flight; the port refuses another.
  auto end = owner_.WaitUntil([this] { return !port_->SendInProgress(); }, deadline);
  if (end == TScriptOwner::TEnd::Done) {
    writing_ = true;
    port_->SendString(bytes);
    end = owner_.WaitUntil([this] { return !writing_; }, deadline);
  }
  if (end == TScriptOwner::TEnd::Stopped) {
    *why = "stopped";
    return false;
  }
  if (writing_ || writeFailed_ || written_ != bytes.size()) {
    *why = name_ + " wrote " + std::to_string(written_) + " of " + std::to_string(bytes.size()) +
           " bytes";
    writing_ = false;
    return false;
  }
  return true;
}

void TScriptPort::RxCluster() {
  if (port_->FirstClusterSize() < 0) return;
  std::string block;
  port_->TakeFirstCluster(block);
  if (trace_) log_(name_ + " < " + ShownBytes(block));
  buffer_ += block;
  if (buffer_.size() > kBufferLimit) buffer_.erase(0, buffer_.size() - kBufferLimit / 2);
  ++arrivals_;
}

void TScriptPort::WriteDone() {
  written_ = port_->WrittenBytes();
  writing_ = false;
}

void TScriptPort::ProcessError(Cardinal place, Cardinal code, const std::string& msg, Byte) {
  if (place == kWriteFailedPlace) {
    writeFailed_ = true;
    writing_ = false;
  }
  if (place == kOpenFailedPlace) openError_ = code;
  log_(name_ + ": " + session::ErrorReportText(code, place, msg));
}

}  // namespace veltra::script
