// TPortSession: one serial port as the front ends serve it, without a GUI toolkit.
//
// The session owns a TSerialPort and wires its events once. It turns what the port
// reports into log entries for a sink (TLogSink: the window's panes, veltra-cli's
// streams), forwards received blocks to another session in spy mode, sends with the
// line end chosen by the operator, checks every finished write against what was handed
// over, and counts bytes, blocks and writes.
//
// Threads. The port's worker thread reads and writes the line; everything it reports
// reaches the session through the owner-call queue given at construction, on that
// queue's owner thread (the GUI thread, veltra-cli's main thread, or a TSessionThread).
// Every member of the session is used on that thread only.
//
// A received block: worker → OnRxClusterEvent on the owner thread → counters →
// Traffic(header "P1:Rec  " or "P1:RecX ") and Dump(block) → dump observers → in spy
// mode Traffic("P2:Snd " header, block) and the block with the line end queued for the
// other session → block observers.
//
// A sent block: Send (queued behind earlier writes) or SendNow (at once; the port
// refuses it with report 901 while a write is in flight) → Traffic("P1:Snd " header,
// data) → the forwarding queue → TSerialPort::SendString → the worker's write →
// OnWriteDone: WrittenBytes against the length handed over ("P1:Not all Bytes send"
// when short) → the Send's done callback → the next queued block. A write that cannot
// be started (report 903) gets no completion: the queue and the callback learn it from
// the report.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/owner_calls.h"
#include "engine/serial_port.h"
#include "session/forward_queue.h"
#include "session/hold_states.h"
#include "session/log_lines.h"

namespace veltra::session {

// Where a session's log entries go. Entries are complete lines of the panes; a line
// break inside one continues on a new line.
class TLogSink {
 public:
  virtual ~TLogSink() = default;
  // prefix + local time stamp + " :" (by default LogHeader with the time now).
  virtual std::string Header(std::string_view prefix);
  // An entry of the traffic pane.
  virtual void Traffic(std::string_view entry) = 0;
  // The dump lines of a received block (traffic pane).
  virtual void Dump(std::string_view block) = 0;
  // A comm or ring event line of the error pane.
  virtual void Event(std::string_view entry) = 0;
  // An error report of the error pane ("Code 0 at 110 Text: ...", hold states).
  virtual void Report(std::string_view entry) = 0;
  // Whether anything reads the traffic, or the comm events: the session skips the
  // work nobody reads, and does not ask the worker for events nobody logs.
  virtual bool WantsTraffic() const { return true; }
  virtual bool WantsEvents() const { return true; }
};

struct TPortCounters {
  std::uint64_t BytesIn = 0, Blocks = 0, ErrorBlocks = 0;
  std::uint64_t BytesOut = 0, Writes = 0, ShortWrites = 0, FailedWrites = 0;
  std::uint64_t ErrorReports = 0;  // the port's errors (noise 0)
  std::uint64_t TxEmpty = 0;       // output drained to the line (with WatchTxEmpty)
};

// How one Send ended: every byte written, or not (a short or failed write).
struct TSendResult {
  std::size_t Length = 0;  // the bytes handed over, line end included
  bool Whole = true;
};

struct TSessionOptions {
  // Count drained output (Counters().TxEmpty) and call OnTxQueueEmpty; each event
  // costs the worker a round trip to the owner thread.
  bool WatchTxEmpty = false;
  // Log a short write ("P1:Not all Bytes send"); off for a front end that words it
  // itself from the Send's result. Counted either way.
  bool ReportShortWrites = true;
  // A port with no modem lines (a pty) fails every DTR, RTS and modem-status call
  // with ERROR_INVALID_FUNCTION. With this set, those reports are not logged or
  // counted; OnNoModemLines is called once instead.
  bool FoldNoModemLines = false;
};

class TPortSession {
 public:
  using TBlockObserver =
      std::function<void(TPortSession& session, std::string_view block, bool lineErrors)>;
  using TSendDone = std::function<void(const TSendResult&)>;

  // The constructing thread must be the owner of `calls`. `prefixes` and `sink`
  // outlive the session. Assigns the port's log, forwarding and write events;
  // the events it leaves alone (OnRIEvent, OnRxCharEvent, OnDeviceRemoved,
  // OnDeviceReturned, OnTxQueueEmptyEvent without WatchTxEmpty) are the front end's.
  TPortSession(engine::TOwnerCallQueue& calls, const TPortPrefixes& prefixes, TLogSink& sink,
               TSessionOptions options = {});
  // Closes the port and waits for its worker; sessions that forward here stop.
  ~TPortSession();
  TPortSession(const TPortSession&) = delete;
  TPortSession& operator=(const TPortSession&) = delete;

  engine::TSerialPort& Port() { return *port_; }
  const engine::TSerialPort& Port() const { return *port_; }
  const TPortPrefixes& Prefixes() const { return prefixes_; }
  const TPortCounters& Counters() const { return counters_; }

  // Opens the port; false with a technician's text when it cannot be opened.
  bool Open(std::string* why);

  // --- spy mode ---------------------------------------------------------------------
  // Every block received here is logged under `to`'s "Snd" prefix and queued for it
  // (null: no forwarding). While ForwardWhen is set, only blocks for which it holds.
  void ForwardTo(TPortSession* to);
  std::function<bool()> ForwardWhen;

  // --- sending ----------------------------------------------------------------------
  // Appended to every block this port sends: Send, SendNow and forwarded blocks.
  void SetLineEnd(std::string lineEnd) { lineEnd_ = std::move(lineEnd); }
  const std::string& LineEnd() const { return lineEnd_; }
  // Logs `data` under "Snd" and queues it with the line end behind earlier writes;
  // `done` runs when its write has finished (or failed). Empty data does nothing.
  void Send(std::string_view data, TSendDone done = {});
  // As Send, without the line end: sequences and trigger answers carry their own.
  void SendAsIs(std::string_view data, TSendDone done = {});
  // As the window's command page sends: logged and handed to the port at once; while
  // a write is in flight the port refuses it (report 901) and nothing is counted.
  void SendNow(std::string_view data);
  // SendNow without the log entry, for a front end that logs only what has left the
  // port (on OnWriteDone, from WrittenBytes).
  void SendNowUnlogged(std::string_view data);
  // Nothing waits to be written and no write is in flight.
  bool WritesIdle() const { return outgoing_.Waiting() == 0 && !awaitingDone_; }
  // Blocks waiting for the port to finish its write.
  std::size_t Waiting() const { return outgoing_.Waiting(); }
  // Bytes queued for this port that did not go out (yet).
  std::uint64_t BytesNotWritten() const { return queuedBytes_ - counters_.BytesOut; }
  // The bytes of the write handed over last (line end included).
  engine::Cardinal SendLength() const { return sendLength_; }
  // Whether the last finished write took every byte handed over.
  bool LastWriteWhole() const { return port_->WrittenBytes() == sendLength_; }
  // Completion notices so far (every write, whole or short).
  std::uint64_t WritesDone() const { return counters_.Writes; }

  // --- observers (owner thread; add and remove between events) ----------------------
  // Every received block, after it was logged and (in spy mode) queued for the other
  // port. An observer may send; returns an id for RemoveBlockObserver.
  int AddBlockObserver(TBlockObserver observer);
  // Right after a block's dump lines, before anything else is logged: lines added to
  // the sink here stand under the dump.
  int AddDumpObserver(TBlockObserver observer);
  // Every block logged as sent to this port (Send, SendNow, a forwarded block), with
  // its line end, right after its log entries: lines added to the sink stand under it.
  // `lineErrors` is false.
  int AddSentObserver(TBlockObserver observer);
  void RemoveBlockObserver(int id);
  void RemoveDumpObserver(int id);
  void RemoveSentObserver(int id);

  // --- hooks for the display (owner thread) ------------------------------------------
  std::function<void()> OnCommEvent;                   // after its line was logged
  std::function<void(const THoldReport&)> OnCommStat;  // after the hold report was logged
  std::function<void()> OnDataQueued;                  // Send, SendNow or a forwarded block
  std::function<void()> OnWriteDone;                   // after the write was checked
  std::function<void()> OnTxQueueEmpty;                // with WatchTxEmpty
  // Every report of the port, before it is logged (places, codes as the port gives them).
  std::function<void(engine::Cardinal place, engine::Cardinal code)> OnReport;
  // With FoldNoModemLines: the port turned out to have no modem lines.
  std::function<void()> OnNoModemLines;

  // --- the port's events as the session handles them ---------------------------------
  // The port raises them; a front end may raise one itself (its tests do).
  void RxCluster();
  void RxEventChar();
  void CommEvent();
  void Ring();
  void CommStat();
  void WriteDone();
  // A report as if it came from the port: logged, counted, and a failed write (903)
  // ends the write in flight.
  void ProcessError(engine::Cardinal place, engine::Cardinal code, const std::string& msg,
                    engine::Byte noise);

 private:
  struct TObserver {
    int Id;
    TBlockObserver Call;
  };
  struct TPendingSend {
    std::uint64_t End;  // queuedEnd_ after this send
    TSendDone Done;
    bool Whole = true;
  };
  // The write in flight: from the forwarding queue, or handed over by SendNow.
  enum class TWriteKind { None, Queued, Direct };

  void Wire(const TSessionOptions& options);
  void Forward(const std::string& block);
  void Queue(std::string bytes, TSendDone done);
  void HandOver(const std::string& block);
  void WriteFinished(bool whole);
  void SendDirect(std::string bytes);
  void Report(engine::Cardinal place, engine::Cardinal code, const std::string& msg);
  void Notify(std::vector<TObserver>& observers, std::string_view block, bool lineErrors);

  std::unique_ptr<engine::TSerialPort> port_;
  const TPortPrefixes& prefixes_;
  TLogSink& sink_;
  TPortCounters counters_;
  TPortSession* forwardTo_ = nullptr;
  std::vector<TPortSession*> forwardedFrom_;  // the sessions whose forwardTo_ is this
  std::string lineEnd_;
  TForwardQueue outgoing_;
  engine::Cardinal sendLength_ = 0;
  bool awaitingDone_ = false;
  TWriteKind writeKind_ = TWriteKind::None;
  std::uint64_t queuedBytes_ = 0;     // every byte accepted for this port
  std::uint64_t queuedEnd_ = 0;       // bytes put into the forwarding queue
  std::uint64_t finishedQueued_ = 0;  // of those, the bytes whose write has ended
  std::vector<TPendingSend> pendingSends_;
  engine::Cardinal openError_ = 0;
  bool noModemLinesSaid_ = false;
  std::vector<TObserver> blockObservers_, dumpObservers_, sentObservers_;
  int nextObserverId_ = 1;
  bool reportShortWrites_ = true;
  bool foldNoModemLines_ = false;
};

}  // namespace veltra::session
