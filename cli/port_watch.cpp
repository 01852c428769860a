#include "cli/port_watch.h"

#include "app/logic/hex_dump.h"
#include "app/logic/hold_states.h"
#include "platform/core/win32_types.h"

namespace veltra::cli {

using engine::Byte;
using engine::Cardinal;
using engine::TObject;

namespace {

// The report of a write that could not be started: no completion follows it.
constexpr Cardinal kWriteFailedPlace = 903;
constexpr Cardinal kOpenFailedPlace = 112;

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

TPortWatch::TPortWatch(engine::TSerialPort& port, const logic::TPortPrefixes& own, TLogWriter& log)
    : Port(port),
      Own(own),
      log_(log),
      outgoing_([this] { return Port.SendInProgress(); },
                [this](const std::string& block) { HandOver(block); }) {}

void TPortWatch::Attach(bool txEmpty) {
  Port.OnRxClusterEvent = [this](TObject*) { RxCluster(); };
  Port.OnRxEventCharEvent = [this](TObject*) { RxEventChar(); };
  Port.OnWriteDone = [this](TObject*) { WriteDone(); };
  Port.OnProcessError = [this](TObject*, Cardinal place, Cardinal code, const std::string& msg,
                               Byte noise) { ProcessError(place, code, msg, noise); };
  // Each assigned event costs the worker a round trip to this thread.
  if (log_.WantsEvents()) {
    Port.OnCommEvent = [this](TObject*) { CommEvent(); };
    Port.OnRingEvent = [this](TObject*) { Ring(); };
    Port.OnCommStat = [this](TObject*) { CommStat(); };
  }
  if (txEmpty) Port.OnTxQueueEmptyEvent = [this](TObject*) { ++Counters.TxEmpty; };
}

void TPortWatch::ForwardTo(TPortWatch& to, std::string lineEnd) {
  forwardTo_ = &to;
  forwardEnd_ = std::move(lineEnd);
}

bool TPortWatch::Open(std::string* why) {
  openError_ = 0;
  Port.SetActive(true);
  if (Port.Active()) return true;
  *why = OpenFailureText(Port.LastOpenFailure(), openError_);
  return false;
}

void TPortWatch::RxCluster() {
  const engine::Integer size = Port.FirstClusterSize();
  if (size < 0) return;
  const bool lineErrors = Port.FirstClusterErrors() != 0;
  std::string block;
  Port.TakeFirstCluster(block);
  Counters.BytesIn += block.size();
  ++Counters.Blocks;
  if (lineErrors) ++Counters.ErrorBlocks;
  if (log_.WantsTraffic()) {
    log_.Traffic(log_.Header(lineErrors ? Own.RecX : Own.Rec));
    log_.Dump(block);
  }
  if (OnBlock) OnBlock(block);
  if (forwardTo_ == nullptr) return;
  if (log_.WantsTraffic()) {
    log_.Traffic(log_.Header(forwardTo_->Own.Snd));
    log_.Traffic(block);
  }
  block += forwardEnd_;
  forwardTo_->queuedBytes_ += block.size();
  forwardTo_->outgoing_.Push(std::move(block));
}

void TPortWatch::Send(const std::string& data, std::string_view lineEnd) {
  if (data.empty()) return;
  log_.Traffic(log_.Header(Own.Snd));
  log_.Traffic(data);
  std::string bytes = data;
  bytes += lineEnd;
  queuedBytes_ += bytes.size();
  outgoing_.Push(std::move(bytes));
}

void TPortWatch::HandOver(const std::string& block) {
  // Set before sending: a write that completes at once runs OnWriteDone inside SendString.
  sendLength_ = static_cast<Cardinal>(block.size());
  awaitingDone_ = true;
  Port.SendString(block);
}

void TPortWatch::WriteDone() {
  ++Counters.Writes;
  Counters.BytesOut += Port.WrittenBytes();
  if (Port.WrittenBytes() != sendLength_) {
    ++Counters.ShortWrites;
    Report(1, 0, std::string(Own.Rec, 3) + "Not all Bytes send");
  }
  awaitingDone_ = false;
  outgoing_.WriteDone();
}

void TPortWatch::RxEventChar() {
  if (log_.WantsTraffic()) log_.Traffic(log_.Header(Own.Msg) + logic::kEventCharText);
  // The bytes up to the event character are delivered at once, as the window asks.
  Port.SetReadRequest(true);
}

void TPortWatch::CommEvent() {
  log_.Event(log_.Header(Own.ErrMsg) + logic::ComEventText(Port.ModemState()));
}

void TPortWatch::Ring() {
  log_.Event(log_.Header(Own.ErrMsg) + logic::kRingEventText);
}

void TPortWatch::CommStat() {
  const logic::THoldReport hold = logic::HoldReport(Port.CommStateFlags());
  if (!hold.Text.empty()) Report(0, 0, hold.Text);
}

void TPortWatch::ProcessError(Cardinal place, Cardinal code, const std::string& msg, Byte noise) {
  if (place == kWriteFailedPlace) {
    ++Counters.FailedWrites;
    awaitingDone_ = false;
    outgoing_.WriteFailed();
  }
  if (place == kOpenFailedPlace) openError_ = code;
  if (noise == 0) ++Counters.ErrorReports;
  Report(place, code, msg);
}

void TPortWatch::Report(Cardinal place, Cardinal code, const std::string& msg) {
  log_.Report(log_.Header(Own.ErrMsg) + logic::ErrorReportText(code, place, msg));
}

}  // namespace veltra::cli
