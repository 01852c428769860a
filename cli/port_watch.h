// One port as the window's handlers serve it: received blocks to the traffic log
// (header, dump lines; RecX with line errors), the event character, comm and ring
// events, hold states and error reports to the event log, and the writes handed to
// the port, one after the other through a forwarding queue. Spy mode joins two
// watches: each block received on one is logged once more under the other's "Snd"
// prefix and handed to the other port.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/logic/forward_queue.h"
#include "app/logic/log_lines.h"
#include "cli/log_writer.h"
#include "engine/serial_port.h"

namespace veltra::cli {

struct TPortCounters {
  std::uint64_t BytesIn = 0, Blocks = 0, ErrorBlocks = 0;
  std::uint64_t BytesOut = 0, Writes = 0, ShortWrites = 0, FailedWrites = 0;
  std::uint64_t ErrorReports = 0;  // the component's errors (noise 0)
  std::uint64_t TxEmpty = 0;       // output drained to the line
};

class TPortWatch {
 public:
  TPortWatch(engine::TSerialPort& port, const logic::TPortPrefixes& own, TLogWriter& log);
  TPortWatch(const TPortWatch&) = delete;
  TPortWatch& operator=(const TPortWatch&) = delete;

  // Assigns the handlers (the port must be closed). Comm and ring events and hold
  // states are watched only when the log wants events; `txEmpty` counts drained output.
  void Attach(bool txEmpty = false);
  // Spy: every block received here goes to `to` as well, with `lineEnd` appended.
  void ForwardTo(TPortWatch& to, std::string lineEnd);
  // Logs the data under this port's "Snd" prefix and queues it with `lineEnd`.
  void Send(const std::string& data, std::string_view lineEnd);
  // Nothing waits to be written and no write is in flight.
  bool WritesIdle() const { return outgoing_.Waiting() == 0 && !awaitingDone_; }
  // Bytes queued for this port that did not go out (yet).
  std::uint64_t BytesNotWritten() const { return queuedBytes_ - Counters.BytesOut; }

  // Opens the port; false with a technician's text when it cannot be opened.
  bool Open(std::string* why);

  engine::TSerialPort& Port;
  const logic::TPortPrefixes& Own;
  TPortCounters Counters;
  // Each received block once it is logged (the receive triggers look through it).
  std::function<void(const std::string& block)> OnBlock;

 private:
  void RxCluster();
  void RxEventChar();
  void CommEvent();
  void Ring();
  void CommStat();
  void ProcessError(engine::Cardinal place, engine::Cardinal code, const std::string& msg,
                    engine::Byte noise);
  void Report(engine::Cardinal place, engine::Cardinal code, const std::string& msg);
  void WriteDone();
  void HandOver(const std::string& block);

  TLogWriter& log_;
  TPortWatch* forwardTo_ = nullptr;
  std::string forwardEnd_;
  logic::TForwardQueue outgoing_;
  engine::Cardinal sendLength_ = 0;
  bool awaitingDone_ = false;
  std::uint64_t queuedBytes_ = 0;
  engine::Cardinal openError_ = 0;
};

}  // namespace veltra::cli
