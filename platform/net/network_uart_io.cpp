// The I/O thread of a network port: waits on the socket and the wake-up, reads and
// decodes while the driver takes more, and writes the commands and the driver's
// data, a chunk at a time.
#include <algorithm>
#include <cerrno>

#include "platform/net/network_uart.h"

namespace veltra::platform {
namespace {

constexpr std::size_t kWriteChunk = 65536;  // bytes taken from the driver at a time
constexpr int kReadsPerWake = 16;

}  // namespace

using telnet::Bytes;

// --- the I/O thread ---------------------------------------------------------------------

void NetworkUart::Run() {
  if (!early_.empty()) sink_->OnReceive(early_.data(), early_.size());
  early_ = Bytes();
  while (!stopping_.load()) {
    const bool paused = paused_.load();
    const bool wished = sink_->ReceivePauseWanted();
    UpdateInterest(paused || wished);
    FdLoop::Ready ready;
    const int n = loop_->Wait(WaitTimeoutMs(paused, wished), &ready);
    if (n < 0 && errno != EINTR) break;
    if (ready.events != 0) HandleSocketEvents(ready.events);
    if (stopping_.load()) break;
    if (vanished_.load()) continue;
    ReadInput();
    ServiceTransmit();
    WatchDrain();
  }
}

int NetworkUart::WaitTimeoutMs(bool paused, bool wished) const {
  if (vanished_.load() || paused) return -1;
  if (wished) return 1;  // a wish may be withdrawn without a PauseReceive: look again soon
  return rxOffset_ < rxBuffer_.size() ? 0 : -1;  // input held back by an ended pause
}

// A reset or error shows even while input is not watched (a receive pause).
void NetworkUart::HandleSocketEvents(std::uint32_t events) {
  if (events & kWaitOut) waitingForRoom_ = false;
  if (!(events & (kWaitErr | kWaitHup)) || vanished_.load()) return;
  LoseConnection(PendingSocketError(fd_));
}

bool NetworkUart::ReceiveHeld() const {
  return paused_.load() || sink_->ReceivePauseWanted();
}

// A connection gone leaves the set, else its hang-up would keep waking it.
void NetworkUart::UpdateInterest(bool receiveHeld) {
  if (vanished_.load()) {
    loop_->Forget();
    return;
  }
  std::uint32_t want = 0;
  if (!receiveHeld) want |= kWaitIn | kWaitRdHup;
  if (waitingForRoom_) want |= kWaitOut;
  loop_->Watch(want);
}

// Reads while the driver takes more; what it did not take when a pause began
// waits in rxBuffer_ for the pause to end.
void NetworkUart::ReadInput() {
  if (rxPurges_.load() != rxPurgesSeen_) DropReceived();
  for (int round = 0; round < kReadsPerWake && !ReceiveHeld() && !vanished_.load(); ++round) {
    if (rxOffset_ < rxBuffer_.size()) {
      rxOffset_ += FeedInput(rxBuffer_.data() + rxOffset_, rxBuffer_.size() - rxOffset_);
      continue;
    }
    rxBuffer_.resize(kReadChunk);
    const std::ptrdiff_t n = SocketReceive(fd_, rxBuffer_.data(), rxBuffer_.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      rxBuffer_.clear();
      rxOffset_ = 0;
      return;
    }
    if (n <= 0) {
      LoseConnection(n == 0 ? 0 : errno);
      return;
    }
    rxBuffer_.resize(static_cast<std::size_t>(n));
    rxOffset_ = FeedInput(rxBuffer_.data(), rxBuffer_.size());
  }
}

// Decodes (or, for raw TCP, passes on) input a piece at a time; returns how much
// was used: less when the driver asked for a pause before all of it was delivered.
std::size_t NetworkUart::FeedInput(const std::uint8_t* data, std::size_t count) {
  const std::size_t piece = dropData_ ? count : deliveryPiece_.load();
  std::size_t used = 0;
  while (used < count) {
    const std::size_t n = std::min(piece, count - used);
    std::size_t took = n;
    if (endpoint_.rfc2217) {
      took = session_.Feed(data + used, n, *this);
    } else {
      OnData(data + used, n);
    }
    used += took;
    if (took < n || (sink_ != nullptr && !dropData_ && ReceiveHeld())) break;
  }
  return used;
}

// A receive purge also drops what waits below the driver: the bytes held back by
// a pause and what the socket holds now. Commands among them still count.
void NetworkUart::DropReceived() {
  rxPurgesSeen_ = rxPurges_.load();
  dropData_ = true;
  if (rxOffset_ < rxBuffer_.size())
    rxOffset_ += FeedInput(rxBuffer_.data() + rxOffset_, rxBuffer_.size() - rxOffset_);
  if (const std::size_t waiting = SocketBytesWaiting(fd_); waiting > 0) {
    Bytes drop(waiting);
    const std::ptrdiff_t n = SocketReceive(fd_, drop.data(), drop.size());
    if (n > 0) FeedInput(drop.data(), static_cast<std::size_t>(n));
  }
  dropData_ = false;
}

// Commands go out between data chunks; data is taken from the driver a chunk at a
// time, only when the last chunk is wholly in the socket, so that the rest stays
// in the driver where time-outs and purges reach it.
void NetworkUart::ServiceTransmit() {
  while (!waitingForRoom_ && !stopping_.load() && !vanished_.load()) {
    if (txPurges_.load() != txPurgesSeen_) ApplyTransmitPurge();
    if (wireOffset_ == wire_.size() && !FillWire()) return;
    const std::ptrdiff_t n =
        SocketSend(fd_, wire_.data() + wireOffset_, wire_.size() - wireOffset_);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      waitingForRoom_ = true;
      return;
    }
    if (n < 0) {
      LoseConnection(errno);
      return;
    }
    if (wireIsData_) AccountWritten(static_cast<std::size_t>(n));
    wireOffset_ += static_cast<std::size_t>(n);
  }
}

bool NetworkUart::FillWire() {
  wire_.clear();
  wireOffset_ = 0;
  wireIsData_ = false;
  {
    std::lock_guard lock(ctrlMutex_);
    if (!ctrlOut_.empty()) {
      wire_.swap(ctrlOut_);
      return true;
    }
  }
  if (heldByUser_.load() || session_.PeerSuspended()) return false;
  const std::uint64_t purges = txPurges_.load();
  scratch_.resize(kWriteChunk);
  const std::size_t n = sink_->TakeTransmit(scratch_.data(), scratch_.size());
  if (n == 0 || txPurges_.load() != purges) return false;
  const bool telnetData = endpoint_.rfc2217;
  wireBinary_ = !telnetData || session_.LocalBinary();
  if (telnetData) {
    telnet::EncodeData(scratch_.data(), n, wireBinary_, wire_);
  } else {
    wire_.assign(scratch_.begin(), scratch_.begin() + static_cast<std::ptrdiff_t>(n));
  }
  wireIsData_ = true;
  wireInEscape_ = false;
  wireRaw_ = n;
  txPending_.store(n);
  sentSinceEmpty_ = true;
  return true;
}

// Drops the unwritten rest of a data chunk, all but the second half of an escape
// pair whose first half went out.
void NetworkUart::ApplyTransmitPurge() {
  txPurgesSeen_ = txPurges_.load();
  if (!wireIsData_ || wireOffset_ == wire_.size()) return;
  wire_.resize(wireOffset_ + (wireInEscape_ ? 1 : 0));
  wireRaw_ = wireInEscape_ ? 1 : 0;
  txPending_.store(wireRaw_);
}

// How many data bytes the written part of an encoded chunk holds: an escape pair
// (IAC IAC, and CR NUL outside binary mode) is one byte once both halves are out.
void NetworkUart::AccountWritten(std::size_t n) {
  if (wire_.size() - wireOffset_ == wireRaw_ && !wireInEscape_) {
    wireRaw_ -= n;  // nothing escaped in the rest of the chunk
  } else {
    const bool telnetData = endpoint_.rfc2217;
    for (std::size_t i = wireOffset_; i < wireOffset_ + n; ++i) {
      const std::uint8_t b = wire_[i];
      if (wireInEscape_) {
        wireInEscape_ = false;
        --wireRaw_;
      } else if (telnetData && (b == telnet::kIac || (!wireBinary_ && b == '\r'))) {
        wireInEscape_ = true;
      } else {
        --wireRaw_;
      }
    }
  }
  txPending_.store(wireRaw_);
}

// EV_TXEMPTY once everything taken from the driver is in the socket.
void NetworkUart::WatchDrain() {
  if (!sentSinceEmpty_ || waitingForRoom_ || wireOffset_ < wire_.size()) return;
  sentSinceEmpty_ = false;
  sink_->OnTransmitterEmpty();
}

}  // namespace veltra::platform
