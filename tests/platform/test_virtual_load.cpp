// The virtual cable under load: many paced pairs carrying data both ways at once,
// with blocking and overlapped writes of varying sizes, must deliver every byte and
// never leave a write waiting for a pull that does not come; a worker-style reader
// is woken by every arrival.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/platform/test_driver_support.h"

namespace veltra::test {
namespace {

using std::chrono::milliseconds;

// A write that has not ended within this is taken as hung.
constexpr DWORD kWriteGiveUpMs = 5000;

std::string Pattern(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(size, '\0');
  for (char& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// One end of a loaded pair: a writer thread sending `out` in small random pieces
// (blocking or overlapped), a reader thread collecting what the peer sends.
class LoadedEnd {
 public:
  LoadedEnd(const std::string& name, DWORD baud, bool overlappedWrites)
      : overlapped_(overlappedWrites),
        handle_(CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            overlappedWrites ? FILE_FLAG_OVERLAPPED : 0, 0)) {
    EXPECT_NE(handle_, INVALID_HANDLE_VALUE) << name;
    SetLine(handle_, baud);
    EXPECT_TRUE(SetupComm(handle_, 1 << 20, 1 << 16));
    // Reads wait up to 50 ms for a first byte; a blocking write gives up after a while.
    COMMTIMEOUTS t{MAXDWORD, MAXDWORD, 50, 0, kWriteGiveUpMs};
    EXPECT_TRUE(SetCommTimeouts(handle_, &t));
  }
  ~LoadedEnd() {
    Join();
    CloseHandle(handle_);
  }

  void Start(std::string out, std::size_t expectIn, unsigned seed) {
    out_ = std::move(out);
    expectIn_ = expectIn;
    writer_ = std::thread([this, seed] { WriteAll(seed); });
    reader_ = std::thread([this] { ReadAll(); });
    poller_ = std::thread([this] { PollStatus(); });
  }
  void Join() {
    if (writer_.joinable()) writer_.join();
    if (reader_.joinable()) reader_.join();
    if (poller_.joinable()) poller_.join();
  }
  const std::string& Out() const { return out_; }
  const std::string& In() const { return in_; }
  std::size_t ShortWrites() const { return shortWrites_; }

 private:
  void WriteAll(unsigned seed) {
    std::mt19937 rng(seed);
    for (std::size_t at = 0; at < out_.size();) {
      const DWORD n = static_cast<DWORD>(std::min<std::size_t>(1 + rng() % 300, out_.size() - at));
      const DWORD written =
          overlapped_ ? WriteOverlapped(out_.data() + at, n) : WriteBlocking(out_.data() + at, n);
      if (written != n) ++shortWrites_;
      at += written == 0 ? n : written;  // a hung write still moves on, so the test ends
    }
    writeDone_ = true;
  }
  DWORD WriteBlocking(const char* data, DWORD n) {
    DWORD written = 0;
    if (!WriteFile(handle_, data, n, &written, nullptr)) return 0;
    return written;
  }
  DWORD WriteOverlapped(const char* data, DWORD n) {
    Overlapped o;
    DWORD written = 0;
    if (WriteFile(handle_, data, n, &written, &o.ov)) return written;
    if (GetLastError() != ERROR_IO_PENDING) return 0;
    if (!o.Signalled(kWriteGiveUpMs)) {
      CancelIoEx(handle_, &o.ov);
      GetOverlappedResult(handle_, &o.ov, &written, TRUE);
      return 0;
    }
    GetOverlappedResult(handle_, &o.ov, &written, FALSE);
    return written;
  }
  // Status polls, as a port's worker makes them, contend with the cable's pulls.
  void PollStatus() {
    while (!writeDone_ || !readDone_) {
      DWORD errors = 0;
      COMSTAT stat;
      if (!ClearCommError(handle_, &errors, &stat)) return;
      std::this_thread::yield();
    }
  }
  void ReadAll() {
    std::vector<char> chunk(1 << 16);
    // The line has gone quiet for good once nothing came for longer than a write may hang.
    auto lastByte = std::chrono::steady_clock::now();
    while (in_.size() < expectIn_ &&
           std::chrono::steady_clock::now() - lastByte < milliseconds(2 * kWriteGiveUpMs)) {
      Overlapped o;
      DWORD got = 0;
      BOOL ok = ReadFile(handle_, chunk.data(), static_cast<DWORD>(chunk.size()), &got,
                         overlapped_ ? &o.ov : nullptr);
      if (!ok && overlapped_ && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(handle_, &o.ov, &got, TRUE);
      if (!ok) break;
      in_.append(chunk.data(), got);
      if (got > 0) lastByte = std::chrono::steady_clock::now();
    }
    readDone_ = true;
  }

  const bool overlapped_;
  HANDLE handle_;
  std::string out_, in_;
  std::size_t expectIn_ = 0;
  std::atomic<std::size_t> shortWrites_{0};
  std::atomic<bool> writeDone_{false}, readDone_{false};
  std::thread writer_, reader_, poller_;
};

struct LoadedPair {
  LoadedPair(DWORD baud, bool overlappedA, bool overlappedB)
      : pair(false), a(pair.a, baud, overlappedA), b(pair.b, baud, overlappedB) {}
  Pair pair;
  LoadedEnd a, b;
};

TEST(VirtualLoad, PacedPairsCarryEveryByteBothWaysUnderLoad) {
  // Bytes each way: about 0.2 s of line time at 12 Mbaud, 0.3 s at 921600.
  constexpr std::size_t kFast = 256 * 1024, kSlow = 28 * 1024;
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    std::vector<std::unique_ptr<LoadedPair>> pairs;
    pairs.push_back(std::make_unique<LoadedPair>(12000000, false, true));
    pairs.push_back(std::make_unique<LoadedPair>(12000000, false, false));
    pairs.push_back(std::make_unique<LoadedPair>(921600, true, false));
    pairs.push_back(std::make_unique<LoadedPair>(921600, true, true));
    unsigned seed = 100u * static_cast<unsigned>(round);
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      const std::size_t size = i < 2 ? kFast : kSlow;
      pairs[i]->a.Start(Pattern(size, seed + 1), size, seed + 2);
      pairs[i]->b.Start(Pattern(size, seed + 3), size, seed + 4);
      seed += 4;
    }
    for (auto& p : pairs) {
      p->a.Join();
      p->b.Join();
    }
    for (std::size_t i = 0; i < pairs.size(); ++i) {
      SCOPED_TRACE(i);
      const LoadedPair& p = *pairs[i];
      EXPECT_EQ(p.a.ShortWrites() + p.b.ShortWrites(), 0u) << "a write hung on the cable";
      EXPECT_EQ(p.b.In().size(), p.a.Out().size());
      EXPECT_EQ(p.a.In().size(), p.b.Out().size());
      EXPECT_TRUE(p.b.In() == p.a.Out()) << "a to b corrupted";
      EXPECT_TRUE(p.a.In() == p.b.Out()) << "b to a corrupted";
    }
    if (HasFailure()) return;
  }
}

// A port's worker keeps one WaitCommEvent outstanding and waits at most 75 ms on it;
// on a stream every arrival must end that wait, or an event that came in between
// must end the next one at once, so the worker is never left to its time-out.
TEST(VirtualLoad, EveryArrivalEndsTheWorkersEventWait) {
  Pair pair(false);
  Port rx(pair.a);
  const HANDLE tx =
      CreateFileA(pair.b.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, 0);
  SetLine(rx.h(), 12000000);
  SetLine(tx, 12000000);
  ASSERT_TRUE(SetupComm(rx.h(), 1 << 20, 1 << 16));
  ImmediateReads(rx.h());
  ASSERT_TRUE(SetCommMask(rx.h(), EV_RXCHAR | EV_TXEMPTY | EV_ERR));
  const std::string sent = Pattern(600 * 1000, 7);  // half a second of line time
  std::thread writer([&] {
    DWORD written = 0;
    for (std::size_t at = 0; at < sent.size(); at += 256) {
      const auto n = static_cast<DWORD>(std::min<std::size_t>(256, sent.size() - at));
      WriteFile(tx, sent.data() + at, n, &written, nullptr);
    }
  });
  Overlapped wait;
  std::string got;
  std::size_t missed = 0;
  DWORD errors = 0;
  std::vector<char> chunk(1 << 20);
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (got.size() < sent.size() && std::chrono::steady_clock::now() < giveUp) {
    DWORD mask = 0;
    if (!WaitCommEvent(rx.h(), &mask, &wait.ov)) {
      ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
      // A wait that runs out while bytes wait in the queue missed them. One that runs
      // out on a quiet line does not: a busy machine may hold the writer or the pacer.
      std::optional<COMSTAT> atTimeOut;
      if (!wait.Signalled(75)) {
        COMSTAT stat;
        DWORD found = 0;
        ASSERT_TRUE(ClearCommError(rx.h(), &found, &stat));
        errors |= found;
        atTimeOut = stat;
        CancelIoEx(rx.h(), &wait.ov);
      }
      DWORD n = 0;
      const bool ended = GetOverlappedResult(rx.h(), &wait.ov, &n, TRUE);
      if (atTimeOut && !ended && atTimeOut->cbInQue > 0) ++missed;
    }
    COMSTAT stat;
    DWORD found = 0;
    ASSERT_TRUE(ClearCommError(rx.h(), &found, &stat));
    errors |= found;
    Overlapped read;
    DWORD n = 0;
    ASSERT_TRUE(ReadFile(rx.h(), chunk.data(), stat.cbInQue, &n, &read.ov));
    got.append(chunk.data(), n);
  }
  writer.join();
  CloseHandle(tx);
  EXPECT_EQ(errors, 0u);
  EXPECT_TRUE(got == sent) << got.size() << " of " << sent.size();
  // Slack for a byte that lands just as the wait runs out, seen before its event.
  EXPECT_LE(missed, 2u) << "event waits that ran to their time-out with bytes waiting";
}

}  // namespace
}  // namespace veltra::test
