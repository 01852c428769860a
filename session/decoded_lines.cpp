#include "session/decoded_lines.h"

#include <algorithm>

#include "session/port_session.h"

namespace veltra::session {

void TPortDecoding::SetProtocol(decode::Protocol protocol) {
  if (protocol == protocol_) return;
  protocol_ = protocol;
  decoder_ = decode::MakePortDecoder(protocol);
  if (decoder_) decoder_->SetLineLimit(kDecodedLinesPerBlock);
}

std::string TPortDecoding::Block(decode::Direction direction, std::string_view bytes) {
  if (!decoder_) return {};
  lines_.clear();
  decoder_->Feed(direction, bytes, lines_);
  return Joined();
}

std::string TPortDecoding::Finish(decode::Direction direction) {
  if (!decoder_) return {};
  lines_.clear();
  decoder_->Finish(direction, lines_);
  return Joined();
}

std::string TPortDecoding::Joined() {
  std::string out;
  for (const std::string& line : lines_) {
    if (!out.empty()) out.push_back('\n');
    out += kDecodedPrefix;
    out += line;
  }
  return out;
}

void TPortDecoding::Attach(TPortSession& session, TLogSink& sink) {
  Detach();
  session_ = &session;
  sink_ = &sink;
  dumpObserver_ = session.AddDumpObserver([this](TPortSession&, std::string_view block, bool) {
    if (On() && sink_->WantsTraffic()) Log(Block(decode::Direction::FromDevice, block));
  });
  sentObserver_ = session.AddSentObserver([this](TPortSession&, std::string_view block, bool) {
    if (On() && sink_->WantsTraffic()) Log(Block(decode::Direction::ToDevice, block));
  });
}

void TPortDecoding::Detach() {
  if (session_ == nullptr) return;
  session_->RemoveDumpObserver(dumpObserver_);
  session_->RemoveSentObserver(sentObserver_);
  session_ = nullptr;
  sink_ = nullptr;
}

void TPortDecoding::LogUnfinished() {
  if (sink_ == nullptr || !sink_->WantsTraffic()) return;
  Log(Finish(decode::Direction::FromDevice));
  Log(Finish(decode::Direction::ToDevice));
}

void TPortDecoding::Log(const std::string& lines) {
  if (!lines.empty()) sink_->Traffic(lines);
}

}  // namespace veltra::session
