// Spy mode under load: both ports receive continuously over paced virtual pairs while
// the window logs every block and forwards it. Prints the lines per second the traffic
// pane takes, the event loop's latency while receiving, and the bytes lost.
//
// Run offscreen: QT_QPA_PLATFORM=offscreen pane_bench [seconds]
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <QCheckBox>

#include "app/veltra.h"
#include "platform/comm_api.h"
#include "platform/virtual_ports.h"

namespace win = veltra::win;
using veltra::app::TVeltra;

namespace {

// One device at a far end: writes its stream at the line's pace and collects what the
// window forwards to it.
class TStreamDevice {
 public:
  TStreamDevice(const std::string& name, win::DWORD baud, std::size_t bytes, unsigned seed) {
    handle_ = win::CreateFileA(name.c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 0, nullptr,
                               win::OPEN_EXISTING, 0, 0);
    win::DCB dcb;
    win::GetCommState(handle_, &dcb);
    dcb.BaudRate = baud;
    win::SetCommState(handle_, &dcb);
    win::SetupComm(handle_, 1 << 20, 1 << 16);
    win::COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = 0xFFFFFFFFu;
    win::SetCommTimeouts(handle_, &timeouts);
    std::mt19937 rng(seed);
    sent_.resize(bytes);
    for (char& c : sent_) c = static_cast<char>(rng() & 0xFF);
  }
  ~TStreamDevice() {
    stop_ = true;
    if (writer_.joinable()) writer_.join();
    if (reader_.joinable()) reader_.join();
    win::CloseHandle(handle_);
  }

  void Start() {
    writer_ = std::thread([this] {
      constexpr std::size_t kChunk = 256;
      for (std::size_t at = 0; at < sent_.size() && !stop_; at += kChunk) {
        win::DWORD written = 0;
        const auto n = static_cast<win::DWORD>(std::min(kChunk, sent_.size() - at));
        win::WriteFile(handle_, sent_.data() + at, n, &written, nullptr);
      }
      writing_ = false;
    });
    reader_ = std::thread([this] {
      std::vector<char> buffer(1 << 16);
      while (!stop_) {
        win::DWORD got = 0;
        if (win::ReadFile(handle_, buffer.data(), static_cast<win::DWORD>(buffer.size()), &got,
                          nullptr) &&
            got > 0) {
          std::lock_guard lock(mutex_);
          received_.append(buffer.data(), got);
        } else {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      }
    });
  }
  bool Writing() const { return writing_; }
  const std::string& Sent() const { return sent_; }
  std::size_t ReceivedSize() {
    std::lock_guard lock(mutex_);
    return received_.size();
  }
  std::string Received() {
    std::lock_guard lock(mutex_);
    return received_;
  }

 private:
  win::HANDLE handle_;
  std::string sent_;
  std::thread writer_, reader_;
  std::atomic<bool> stop_{false}, writing_{true};
  std::mutex mutex_;
  std::string received_;
};

// Bytes of `sent` missing from `got`, and whether what came is `sent` in order with
// nothing but gaps (every byte of `got` found in `sent` at a later place).
std::pair<std::size_t, bool> Lost(const std::string& sent, const std::string& got) {
  std::size_t at = 0;
  for (char c : got) {
    while (at < sent.size() && sent[at] != c) ++at;
    if (at == sent.size()) return {sent.size() - std::min(sent.size(), got.size()), false};
    ++at;
  }
  return {sent.size() - got.size(), true};
}

std::string LostText(const std::string& sent, const std::string& got) {
  const auto [lost, ordered] = Lost(sent, got);
  return std::to_string(lost) + (lost == 0 ? "" : ordered ? " (gaps)" : " (disordered)");
}

// Blocks cut with line errors and the reports in the error pane, when data was lost.
void ReportDiagnostics(TVeltra& w) {
  w.FlushPanes();
  int recx = 0, reports = 0;
  for (QTextBlock b = w.Memo1->document()->begin(); b.isValid(); b = b.next())
    recx += b.text().startsWith("P1:RecX") || b.text().startsWith("P2:RecX");
  for (QTextBlock b = w.ErrorMemo->document()->begin(); b.isValid(); b = b.next())
    if (b.text().contains("Code")) {
      if (++reports <= 3) std::printf("  report: %s\n", b.text().toLatin1().constData());
    }
  std::printf("  blocks with line errors: %d, error reports: %d\n", recx, reports);
}

// Runs the event loop (sleeping while idle) until done() holds or `ms` have passed;
// progress() runs about once a second.
template <typename Done, typename Progress>
void RunLoopUntil(Done done, qint64 ms, Progress progress) {
  QEventLoop loop;
  QElapsedTimer clock;
  clock.start();
  qint64 lastReport = 0;
  QTimer check;
  check.setInterval(20);
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    if (done() || clock.elapsed() > ms) loop.quit();
    if (clock.elapsed() - lastReport >= 1000) {
      lastReport = clock.elapsed();
      progress();
    }
  });
  check.start();
  loop.exec();
}

void RunAtBaud(int argc, char** argv, win::DWORD baud, double seconds) {
  static int round = 0;
  ++round;
  const std::string p1 = "BENCH" + std::to_string(round) + "P1";
  const std::string p2 = "BENCH" + std::to_string(round) + "P2";
  veltra::platform::CreateVirtualPair(p1 + "A", p1 + "B");
  veltra::platform::CreateVirtualPair(p2 + "A", p2 + "B");
  (void)argc;
  (void)argv;

  TVeltra w;
  w.ACR->setChecked(false);  // forwarded bytes stay as received, so they can be compared
  w.ALF->setChecked(false);
  for (auto [port, name] :
       {std::pair{w.SerialPort1.get(), p1 + "A"}, std::pair{w.SerialPort2.get(), p2 + "A"}}) {
    port->SetCommPort(name);
    port->SetBaudRate(baud);
    port->SetRxQueueSize(65535);
    port->SetTxQueueSize(65535);
  }
  w.SpyClick();
  if (!w.SerialPort1->Active() || !w.SerialPort2->Active()) {
    std::puts("ports did not open");
    return;
  }
  const auto bytes = static_cast<std::size_t>(baud / 10 * seconds);
  TStreamDevice dev1(p1 + "B", baud, bytes, 1), dev2(p2 + "B", baud, bytes, 2);

  // Event-loop latency: how late a 10 ms timer fires while the data flows.
  std::vector<qint64> lateness;
  QElapsedTimer tick;
  QTimer probe;
  probe.setInterval(10);
  QObject::connect(&probe, &QTimer::timeout, &probe, [&] {
    if (tick.isValid())
      lateness.push_back(tick.restart() - 10);
    else
      tick.start();
  });

  QElapsedTimer clock;
  clock.start();
  probe.start();
  dev1.Start();
  dev2.Start();
  const int linesBefore = w.Memo1->document()->blockCount();
  RunLoopUntil([&] { return !dev1.Writing() && !dev2.Writing(); }, 1000 * 1000,
               [&] {
                 std::fprintf(stderr, "  ... %lld ms: forwarded %zu / %zu bytes, %lld counted\n",
                              static_cast<long long>(clock.elapsed()), dev2.ReceivedSize(),
                              dev1.ReceivedSize(), static_cast<long long>(w.ReceivedByteCount));
               });
  const double feedSeconds = clock.elapsed() / 1000.0;
  w.FlushPanes();
  const int linesTaken = w.Memo1->document()->blockCount() - linesBefore;
  probe.stop();
  // Let the last blocks arrive and be forwarded.
  RunLoopUntil([&] { return dev1.ReceivedSize() >= bytes && dev2.ReceivedSize() >= bytes; }, 10000,
               [] {});

  std::sort(lateness.begin(), lateness.end());
  const qint64 worst = lateness.empty() ? 0 : lateness.back();
  const qint64 p99 = lateness.empty() ? 0 : lateness[lateness.size() * 99 / 100];
  std::printf("%9u baud: %zu bytes each way in %.2f s\n", static_cast<unsigned>(baud), bytes,
              feedSeconds);
  std::printf("  pane took %d lines (%.0f lines/s)\n", linesTaken, linesTaken / feedSeconds);
  std::printf("  event-loop lateness while receiving: p99 %lld ms, worst %lld ms\n",
              static_cast<long long>(p99), static_cast<long long>(worst));
  std::printf("  bytes lost: port 1 -> 2: %s, port 2 -> 1: %s; counted %lld of %zu\n",
              LostText(dev1.Sent(), dev2.Received()).c_str(),
              LostText(dev2.Sent(), dev1.Received()).c_str(),
              static_cast<long long>(w.ReceivedByteCount), 2 * bytes);
  ReportDiagnostics(w);
  w.SerialPort1->SetActive(false);
  w.SerialPort2->SetActive(false);
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  QApplication app(argc, argv);
  const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
  RunAtBaud(argc, argv, 921600, seconds);
  RunAtBaud(argc, argv, 12000000, seconds);
  return 0;
}
