#include "session/port_session.h"

#include <algorithm>
#include <utility>

#include "engine/report_places.h"
#include "platform/core/win32_types.h"

namespace veltra::session {

using engine::Byte;
using engine::Cardinal;
using engine::TObject;

namespace {

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

std::string TLogSink::Header(std::string_view prefix) {
  return LogHeader(prefix, LocalNow());
}

TPortSession::TPortSession(engine::TOwnerCallQueue& calls, const TPortPrefixes& prefixes,
                           TLogSink& sink, TSessionOptions options)
    : port_(std::make_unique<engine::TSerialPort>(calls)),
      prefixes_(prefixes),
      sink_(sink),
      outgoing_([this] { return port_->SendInProgress(); },
                [this](const std::string& block) { HandOver(block); }) {
  Wire(options);
}

TPortSession::~TPortSession() {
  ForwardTo(nullptr);
  // While this port closes, the owner thread still serves the other ports' events.
  for (TPortSession* from : forwardedFrom_) from->forwardTo_ = nullptr;
  port_.reset();
}

void TPortSession::ForwardTo(TPortSession* to) {
  if (forwardTo_ != nullptr) std::erase(forwardTo_->forwardedFrom_, this);
  forwardTo_ = to;
  if (to != nullptr) to->forwardedFrom_.push_back(this);
}

void TPortSession::Wire(const TSessionOptions& options) {
  reportShortWrites_ = options.ReportShortWrites;
  foldNoModemLines_ = options.FoldNoModemLines;
  engine::TSerialPort& p = *port_;
  p.OnRxClusterEvent = [this](TObject*) { RxCluster(); };
  p.OnRxEventCharEvent = [this](TObject*) { RxEventChar(); };
  p.OnWriteDone = [this](TObject*) { WriteDone(); };
  p.OnProcessError = [this](TObject*, Cardinal place, Cardinal code, const std::string& msg,
                            Byte noise) { ProcessError(place, code, msg, noise); };
  // Each assigned event costs the worker a round trip to the owner thread.
  if (sink_.WantsEvents()) {
    p.OnCommEvent = [this](TObject*) { CommEvent(); };
    p.OnRingEvent = [this](TObject*) { Ring(); };
    p.OnCommStat = [this](TObject*) { CommStat(); };
  }
  if (options.WatchTxEmpty)
    p.OnTxQueueEmptyEvent = [this](TObject*) {
      ++counters_.TxEmpty;
      if (OnTxQueueEmpty) OnTxQueueEmpty();
    };
}

bool TPortSession::Open(std::string* why) {
  openError_ = 0;
  port_->SetActive(true);
  if (port_->Active()) return true;
  *why = OpenFailureText(port_->LastOpenFailure(), openError_);
  return false;
}

// --- received blocks -----------------------------------------------------------------

void TPortSession::RxCluster() {
  if (port_->FirstClusterSize() < 0) return;
  const bool lineErrors = port_->FirstClusterErrors() != 0;
  std::string block;
  port_->TakeFirstCluster(block);
  counters_.BytesIn += block.size();
  ++counters_.Blocks;
  if (lineErrors) ++counters_.ErrorBlocks;
  if (sink_.WantsTraffic()) {
    sink_.Traffic(sink_.Header(lineErrors ? prefixes_.RecX : prefixes_.Rec));
    sink_.Dump(block);
  }
  Notify(dumpObservers_, block, lineErrors);
  if (forwardTo_ != nullptr && (!ForwardWhen || ForwardWhen())) forwardTo_->Forward(block);
  Notify(blockObservers_, block, lineErrors);
}

// A block received on the other port, to be sent here.
void TPortSession::Forward(const std::string& block) {
  if (sink_.WantsTraffic()) {
    sink_.Traffic(sink_.Header(prefixes_.Snd));
    sink_.Traffic(block);
  }
  std::string bytes = block + lineEnd_;
  Notify(sentObservers_, bytes, false);
  // This port may still be writing an earlier block: the queue hands this one over
  // when it is free, so overlapping blocks are not refused and lost.
  Queue(std::move(bytes), {});
}

void TPortSession::Notify(std::vector<TObserver>& observers, std::string_view block,
                          bool lineErrors) {
  // By index: an observer may add or remove observers.
  for (std::size_t i = 0; i < observers.size(); ++i) {
    const TBlockObserver call = observers[i].Call;
    if (call) call(*this, block, lineErrors);
  }
}

int TPortSession::AddBlockObserver(TBlockObserver observer) {
  blockObservers_.push_back({nextObserverId_, std::move(observer)});
  return nextObserverId_++;
}

int TPortSession::AddDumpObserver(TBlockObserver observer) {
  dumpObservers_.push_back({nextObserverId_, std::move(observer)});
  return nextObserverId_++;
}

int TPortSession::AddSentObserver(TBlockObserver observer) {
  sentObservers_.push_back({nextObserverId_, std::move(observer)});
  return nextObserverId_++;
}

void TPortSession::RemoveSentObserver(int id) {
  std::erase_if(sentObservers_, [id](const TObserver& o) { return o.Id == id; });
}

void TPortSession::RemoveBlockObserver(int id) {
  std::erase_if(blockObservers_, [id](const TObserver& o) { return o.Id == id; });
}

void TPortSession::RemoveDumpObserver(int id) {
  std::erase_if(dumpObservers_, [id](const TObserver& o) { return o.Id == id; });
}

// --- sending -------------------------------------------------------------------------

void TPortSession::Send(std::string_view data, TSendDone done) {
  if (data.empty()) return;
  sink_.Traffic(sink_.Header(prefixes_.Snd));
  sink_.Traffic(data);
  std::string bytes = std::string(data) + lineEnd_;
  Notify(sentObservers_, bytes, false);
  Queue(std::move(bytes), std::move(done));
}

void TPortSession::SendAsIs(std::string_view data, TSendDone done) {
  if (data.empty()) return;
  sink_.Traffic(sink_.Header(prefixes_.Snd));
  sink_.Traffic(data);
  Queue(std::string(data), std::move(done));
}

void TPortSession::Queue(std::string bytes, TSendDone done) {
  queuedBytes_ += bytes.size();
  queuedEnd_ += bytes.size();
  if (done) pendingSends_.push_back({queuedEnd_, std::move(done)});
  outgoing_.Push(std::move(bytes));
  if (OnDataQueued) OnDataQueued();
}

void TPortSession::SendNow(std::string_view data) {
  if (data.empty()) return;
  sink_.Traffic(sink_.Header(prefixes_.Snd));
  sink_.Traffic(data);
  std::string bytes = std::string(data) + lineEnd_;
  Notify(sentObservers_, bytes, false);
  SendDirect(std::move(bytes));
  if (OnDataQueued) OnDataQueued();
}

void TPortSession::SendNowUnlogged(std::string_view data) {
  if (data.empty()) return;
  SendDirect(std::string(data) + lineEnd_);
  if (OnDataQueued) OnDataQueued();
}

void TPortSession::SendDirect(std::string bytes) {
  // A write in flight refuses this one (901) without a completion: nothing to account.
  if (port_->SendInProgress()) {
    port_->SendString(bytes);
    return;
  }
  queuedBytes_ += bytes.size();
  // Set before sending: a write that completes at once runs OnWriteDone inside SendString.
  sendLength_ = static_cast<Cardinal>(bytes.size());
  awaitingDone_ = true;
  writeKind_ = TWriteKind::Direct;
  port_->SendString(bytes);
}

void TPortSession::HandOver(const std::string& block) {
  sendLength_ = static_cast<Cardinal>(block.size());
  awaitingDone_ = true;
  writeKind_ = TWriteKind::Queued;
  port_->SendString(block);
}

void TPortSession::WriteDone() {
  ++counters_.Writes;
  counters_.BytesOut += port_->WrittenBytes();
  const bool whole = port_->WrittenBytes() == sendLength_;
  if (!whole) {
    ++counters_.ShortWrites;
    if (reportShortWrites_)
      Report(engine::places::kShortWrite, 0, std::string(prefixes_.Rec, 3) + "Not all Bytes send");
  }
  awaitingDone_ = false;
  WriteFinished(whole);
  if (OnWriteDone) OnWriteDone();
  outgoing_.WriteDone();
}

// Ends the pending sends the finished write covered.
void TPortSession::WriteFinished(bool whole) {
  const TWriteKind kind = std::exchange(writeKind_, TWriteKind::None);
  if (kind != TWriteKind::Queued) return;
  for (TPendingSend& send : pendingSends_)
    if (send.End > finishedQueued_ && !whole) send.Whole = false;
  finishedQueued_ += sendLength_;
  std::vector<TPendingSend> ended;
  while (!pendingSends_.empty() && pendingSends_.front().End <= finishedQueued_) {
    ended.push_back(std::move(pendingSends_.front()));
    pendingSends_.erase(pendingSends_.begin());
  }
  for (TPendingSend& send : ended) send.Done(TSendResult{send.End, send.Whole});
}

// --- events and reports ---------------------------------------------------------------

void TPortSession::RxEventChar() {
  if (sink_.WantsTraffic()) sink_.Traffic(sink_.Header(prefixes_.Msg) + kEventCharText);
  // The bytes up to the event character are delivered at once.
  port_->SetReadRequest(true);
}

void TPortSession::CommEvent() {
  sink_.Event(sink_.Header(prefixes_.ErrMsg) + ComEventText(port_->ModemState()));
  if (OnCommEvent) OnCommEvent();
}

void TPortSession::Ring() {
  sink_.Event(sink_.Header(prefixes_.ErrMsg) + kRingEventText);
}

void TPortSession::CommStat() {
  const THoldReport hold = HoldReport(port_->CommStateFlags());
  if (!hold.Text.empty()) Report(engine::places::kHoldState, 0, hold.Text);
  if (OnCommStat) OnCommStat(hold);
}

namespace {

bool IsModemLineCall(Cardinal place) {
  using namespace engine::places;
  return place == kSetDtr || place == kClearDtr || place == kSetRts || place == kClearRts ||
         place == kModemStatus;
}

}  // namespace

void TPortSession::ProcessError(Cardinal place, Cardinal code, const std::string& msg, Byte noise) {
  if (OnReport) OnReport(place, code);
  if (foldNoModemLines_ && code == win::ERROR_INVALID_FUNCTION && IsModemLineCall(place)) {
    if (!noModemLinesSaid_ && OnNoModemLines) OnNoModemLines();
    noModemLinesSaid_ = true;
    return;
  }
  if (place == engine::places::kWriteFailed) {
    ++counters_.FailedWrites;
    awaitingDone_ = false;
    WriteFinished(false);
    outgoing_.WriteFailed();
  }
  if (place == engine::places::kReopenPort) openError_ = code;
  if (noise == 0) ++counters_.ErrorReports;
  Report(place, code, msg);
}

void TPortSession::Report(Cardinal place, Cardinal code, const std::string& msg) {
  sink_.Report(sink_.Header(prefixes_.ErrMsg) + ErrorReportText(code, place, msg));
}

}  // namespace veltra::session
