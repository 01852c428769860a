// The decoded lines the traffic log shows under a block, for the window and the
// command line alike: each begins with kDecodedPrefix, which no dump line and no
// header has, so they are never taken for data.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "decode/decoder.h"

namespace veltra::session {

class TLogSink;
class TPortSession;

inline constexpr std::string_view kDecodedPrefix = "  >> ";
// Beyond this many lines for one block, one line says how many more there were: a
// fast line of noise must not bury the pane in decoded lines, nor cost their making.
inline constexpr std::size_t kDecodedLinesPerBlock = 64;

// One port's decoding: the device on the port speaks `Protocol()`. What the port
// receives comes from the device; what is handed to the port goes to it.
class TPortDecoding {
 public:
  void SetProtocol(decode::Protocol protocol);
  decode::Protocol Protocol() const { return protocol_; }
  bool On() const { return decoder_ != nullptr; }

  // The decoded lines of the next block in `direction`, joined by '\n' (no line end
  // after the last); empty when the block completed nothing or decoding is off.
  std::string Block(decode::Direction direction, std::string_view bytes);
  // What is still held in `direction`, reported as unfinished, in the same form.
  std::string Finish(decode::Direction direction);

  // Logs the decoded lines of `session`'s traffic into `sink`: under the dump of each
  // block it receives, and under each block logged as sent to it. The decoding
  // outlives the session, or Detach is called first; attach to one session at most.
  void Attach(TPortSession& session, TLogSink& sink);
  void Detach();
  // Logs what is still held in both directions as unfinished (at the end of a run).
  void LogUnfinished();

 private:
  std::string Joined();
  void Log(const std::string& lines);

  decode::Protocol protocol_ = decode::Protocol::None;
  std::unique_ptr<decode::PortDecoder> decoder_;
  std::vector<std::string> lines_;
  TPortSession* session_ = nullptr;
  TLogSink* sink_ = nullptr;
  int dumpObserver_ = 0, sentObserver_ = 0;
};

}  // namespace veltra::session
