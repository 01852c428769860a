// The traffic pane and spy mode under load. Prints figures; not a test.
//
//   QT_QPA_PLATFORM=offscreen pane_bench [store|spy|all] [--seconds S] [--runs N]
//                                        [--baud B,B,...] [--lines N] [--record FILE]
//
// store  The pane alone, fed received blocks (a header and the dump lines) as fast as it
//        takes them, past its limit: lines/s and RSS per line while it fills and once
//        full, beside Qt's own bound (QPlainTextEdit::setMaximumBlockCount).
// spy    The real window, shown (offscreen), in spy mode: both ports receive at each
//        rate over paced virtual pairs for S seconds. Bytes counted against bytes sent
//        and lost, the pane's lines/s at the start and at the end, RSS per received
//        byte as it grows and where it levels off, the error pane's most lines against
//        MaxErrors, how late the event loop runs. With --record, spy mode also records
//        the traffic to FILE, and the record's lines are counted against the pane's.
// day, day-spy
//        A day of traffic at 115200 baud fast-forwarded into the traffic pane with its
//        history, as fast as the pane takes it: one port receiving, and spy mode both
//        ways (each block dumped and logged as forwarded). RSS as it levels off at the
//        history's budget, the history's bytes per logged byte, lines/s at the start and
//        at the end, and the time to bring a block of history back at the top of the view
//        and to go back to the window at the bottom, and how long a search (Ctrl+F)
//        takes to count its matches in the history and the pane. --hours H (default
//        10), --baud B.
// search The day's history filled straight, without the pane, and the same searches
//        timed on it (--hours, --baud).
// With --decode DEVICE (printer, scale, cash register, scanner), spy runs each rate
// without decoding and with both ports decoded, run by run, and prints the ratios.
#include "bench/pane_bench.h"

using namespace pane_bench;

namespace {

// --- spy ----------------------------------------------------------------------------

// A device's stream of pseudo-random bytes, made again as needed rather than kept, so
// the bench's own memory stays out of the window's RSS.
class TStream {
 public:
  explicit TStream(unsigned seed) : rng_(seed) {}
  char Next() { return static_cast<char>(rng_() & 0xFF); }

 private:
  std::mt19937 rng_;
};

// What came back of a stream of `size` bytes: bytes missing, and whether what came is
// the stream in order with nothing but gaps (each byte found at a later place).
class TStreamCheck {
 public:
  TStreamCheck(unsigned seed, std::size_t size) : expected_(seed), size_(size) {}
  void Take(const char* bytes, std::size_t n) {
    for (std::size_t i = 0; i < n && ordered_; ++i) {
      while (at_ < size_ && expected_.Next() != bytes[i]) ++at_;
      if (at_ == size_) ordered_ = false;
      ++at_;
      ++got_;
    }
  }
  std::size_t Got() const { return got_; }
  std::size_t Lost() const { return size_ - std::min(size_, got_); }
  bool Ordered() const { return ordered_; }

 private:
  TStream expected_;
  std::size_t size_, at_ = 0, got_ = 0;
  bool ordered_ = true;
};

// One device at a far end: writes its stream at the line's pace and checks what the
// window forwards to it against the other device's stream.
class TStreamDevice {
 public:
  TStreamDevice(const std::string& name, win::DWORD baud, std::size_t bytes, unsigned seed,
                unsigned otherSeed)
      : bytes_(bytes), seed_(seed), check_(otherSeed, bytes) {
    handle_ = veltra::testing::OpenFarEnd(name, baud);
    win::SetupComm(handle_, 1 << 20, 1 << 16);
  }
  ~TStreamDevice() {
    stop_ = true;
    if (writer_.joinable()) writer_.join();
    if (reader_.joinable()) reader_.join();
    win::CloseHandle(handle_);
  }

  void Start() {
    writer_ = std::thread([this] { Write(); });
    reader_ = std::thread([this] { Collect(); });
  }
  bool Writing() const { return writing_; }
  // Bytes a write did not get out: missing at the far end through no fault of the window.
  std::size_t Unsent() const { return unsent_; }
  std::size_t ReceivedSize() {
    std::lock_guard lock(mutex_);
    return check_.Got();
  }
  std::size_t Lost() {
    std::lock_guard lock(mutex_);
    return check_.Lost();
  }
  std::string LostText() {
    std::lock_guard lock(mutex_);
    const std::size_t lost = check_.Lost();
    return std::to_string(lost) + (!check_.Ordered() ? " (disordered)" : lost ? " (gaps)" : "");
  }

 private:
  void Write() {
    TStream stream(seed_);
    char chunk[256];
    for (std::size_t at = 0; at < bytes_ && !stop_; at += sizeof chunk) {
      const std::size_t n = std::min(sizeof chunk, bytes_ - at);
      for (std::size_t i = 0; i < n; ++i) chunk[i] = stream.Next();
      win::DWORD written = 0;
      win::WriteFile(handle_, chunk, static_cast<win::DWORD>(n), &written, nullptr);
      unsent_ += n - written;
    }
    writing_ = false;
  }
  void Collect() {
    std::vector<char> buffer(1 << 16);
    while (!stop_) {
      win::DWORD got = 0;
      if (win::ReadFile(handle_, buffer.data(), static_cast<win::DWORD>(buffer.size()), &got,
                        nullptr) &&
          got > 0) {
        std::lock_guard lock(mutex_);
        check_.Take(buffer.data(), got);
      } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
    }
  }

  win::HANDLE handle_;
  std::size_t bytes_;
  unsigned seed_;
  std::thread writer_, reader_;
  std::atomic<bool> stop_{false}, writing_{true};
  std::atomic<std::size_t> unsent_{0};
  std::mutex mutex_;
  TStreamCheck check_;
};

int ErrorPaneLines(TVeltra& w) {
  const QTextDocument* doc = w.ErrorMemo->document();
  return doc->blockCount() - (doc->lastBlock().length() == 1 ? 1 : 0);
}

// The window in spy mode between two fresh paced pairs; nullptr when a port failed.
std::unique_ptr<TVeltra> SpyWindow(win::DWORD baud, std::size_t maxLines, std::string& far1,
                                   std::string& far2) {
  far1 = "BENCHP1B";
  far2 = "BENCHP2B";
  veltra::platform::CreateVirtualPair("BENCHP1A", far1);
  veltra::platform::CreateVirtualPair("BENCHP2A", far2);
  auto w = std::make_unique<TVeltra>();
  w->show();
  w->Memo1Log.SetMaxLines([maxLines] { return maxLines; });
  w->ACR->setChecked(false);  // forwarded bytes stay as received, so they can be compared
  w->ALF->setChecked(false);
  w->SerialPort1->SetCommPort("BENCHP1A");
  w->SerialPort2->SetCommPort("BENCHP2A");
  for (TSerialPort* port : {w->SerialPort1, w->SerialPort2}) port->SetBaudRate(baud);
  if (const char* protocol = std::getenv("VELTRA_BENCH_DECODE")) {
    // Both ports decoded: every block is decoded as received and again as handed on.
    for (QComboBox* list : {w->CBDecode1, w->CBDecode2})
      list->setCurrentIndex(list->findText(QString::fromLatin1(protocol)));
    w->CBDecode->setChecked(true);
  }
  w->SpyClick();
  if (!w->SerialPort1->Active() || !w->SerialPort2->Active()) return nullptr;
  for (TSerialPort* port : {w->SerialPort1, w->SerialPort2}) {
    port->SetRxQueueSize(65535);
    port->SetTxQueueSize(65535);
  }
  return w;
}

// The ports' reports, which the error pane may have trimmed away by the end: the
// first few in full, and how many of each place/code there were.
struct TReports {
  std::vector<std::string> first;
  std::map<std::string, int> kinds;
  int count = 0;
  int errorClusters = 0;  // blocks with line errors (RecX): an overrun drops bytes
  void Watch(TSerialPort& port, const char* name) {
    auto shown = port.OnProcessError;
    port.OnProcessError = [this, shown, name](veltra::engine::TObject* sender,
                                              veltra::engine::Cardinal place,
                                              veltra::engine::Cardinal code, const std::string& msg,
                                              veltra::engine::Byte noise) {
      const std::string kind =
          std::string(name) + " " + std::to_string(place) + "/" + std::to_string(code);
      ++kinds[kind];
      if (++count <= 3) first.push_back(kind + " " + msg);
      shown(sender, place, code, msg, noise);
    };
    auto take = port.OnRxClusterEvent;
    port.OnRxClusterEvent = [this, take, &port](veltra::engine::TObject* sender) {
      if (port.FirstClusterSize() >= 0 && port.FirstClusterErrors() != 0) ++errorClusters;
      take(sender);
    };
  }
  void Print() const {
    std::printf("    blocks with line errors (RecX): %d; port reports: %d;", errorClusters, count);
    for (const auto& [kind, n] : kinds) std::printf(" %s x%d", kind.c_str(), n);
    std::printf("\n");
    for (const std::string& r : first) std::printf("      %s\n", r.c_str());
  }
};

// Lines in the record against every line the pane took or skipped.
bool CheckRecord(TVeltra& w, const std::string& path) {
  w.StopRecord();
  std::ifstream in(path, std::ios::binary);
  std::size_t lines = 0, bytes = 0;
  char buffer[1 << 16];
  while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
    bytes += static_cast<std::size_t>(in.gcount());
    lines += static_cast<std::size_t>(std::count(buffer, buffer + in.gcount(), '\n'));
  }
  const auto all = w.Memo1Log.LinesTaken() + w.Memo1Log.LinesSkipped();
  std::printf("    record: %zu lines, %.1f MB; the pane took or skipped %llu lines\n", lines,
              static_cast<double>(bytes) / 1e6, static_cast<unsigned long long>(all));
  std::remove(path.c_str());
  return lines == all;
}

// Once a second: the pane's lines, bytes counted and RSS.
struct TSamples {
  std::vector<double> taken, skipped, counted, rss;
  void Take(TVeltra& w) {
    taken.push_back(static_cast<double>(w.Memo1Log.LinesTaken()));
    skipped.push_back(static_cast<double>(w.Memo1Log.LinesSkipped()));
    counted.push_back(static_cast<double>(w.ReceivedByteCount));
    rss.push_back(RssMb());
  }
};

void PrintGrowth(const TSamples& s, double base) {
  for (std::size_t t = 5; t < s.rss.size(); t += 5) {
    const double perByte = s.counted[t] > 0 ? (s.rss[t] - base) * 1e6 / s.counted[t] : 0;
    std::printf(
        "    %3zu s: %8.1f MB received, pane took %9.0f lines (%7.0f skipped), "
        "RSS %6.1f MB, %5.1f B a received byte\n",
        t, s.counted[t] / 1e6, s.taken[t], s.skipped[t], s.rss[t], perByte);
  }
}

// Lets the last blocks arrive and be forwarded: a relay at the line's own rate that
// fell behind catches up only as fast as the line goes, so this waits while the
// forwarding queues still shrink. Returns how long it took, in seconds.
double DrainForwarding(TVeltra& w, TStreamDevice& dev1, TStreamDevice& dev2, std::size_t bytes,
                       double& rssMost) {
  QElapsedTimer clock, still;
  clock.start();
  still.start();
  std::size_t queuedBefore = SIZE_MAX;
  RunLoopUntil(
      [&] {
        return (dev1.ReceivedSize() >= bytes && dev2.ReceivedSize() >= bytes) ||
               still.elapsed() > 10000;
      },
      300 * 1000,
      [&] {
        rssMost = std::max(rssMost, RssMb());
        const std::size_t queued =
            w.Session1->Waiting() + w.Session2->Waiting() + dev1.ReceivedSize();
        if (queued != queuedBefore) still.restart();
        queuedBefore = queued;
      });
  return clock.elapsed() / 1000.0;
}

int SpyChild(win::DWORD baud, double seconds, std::size_t maxLines, const std::string& record) {
  std::string far1, far2;
  auto w = SpyWindow(baud, maxLines, far1, far2);
  if (!w) {
    std::puts("ports did not open");
    return 1;
  }
  if (!record.empty() && w->TrafficRecord.Start(record).empty())
    w->Memo1Log.SetRecord(&w->TrafficRecord);
  const double base = RssMb();
  TReports reports;
  reports.Watch(*w->SerialPort1, "P1");
  reports.Watch(*w->SerialPort2, "P2");
  const auto bytes = static_cast<std::size_t>(baud / 10 * seconds);
  TStreamDevice dev1(far1, baud, bytes, 1, 2), dev2(far2, baud, bytes, 2, 1);
  const int maxErrors = veltra::session::MaxErrorsFromText(w->MaxErrorEdit->text().toStdString());
  int errorLinesMost = 0;
  double rssMost = 0;
  std::vector<qint64> lateness;
  TSamples samples;
  QElapsedTimer clock, tick;
  clock.start();
  tick.start();
  samples.Take(*w);
  dev1.Start();
  dev2.Start();
  RunLoopUntil([&] { return !dev1.Writing() && !dev2.Writing(); }, 1000 * 1000,
               [&] {
                 lateness.push_back(std::max<qint64>(0, tick.restart() - 20));
                 errorLinesMost = std::max(errorLinesMost, ErrorPaneLines(*w));
                 rssMost = std::max(rssMost, RssMb());
                 if (clock.elapsed() >= static_cast<qint64>(samples.rss.size()) * 1000)
                   samples.Take(*w);
               });
  const double feedSeconds = clock.elapsed() / 1000.0;
  const double drainSeconds = DrainForwarding(*w, dev1, dev2, bytes, rssMost);
  w->FlushPanes();
  rssMost = std::max(rssMost, RssMb());
  std::sort(lateness.begin(), lateness.end());
  const auto [start, end] = StartAndEndRates(samples.taken, 5);
  const double rss = RssMb();
  std::printf("  %8u baud, %zu bytes each way in %.1f s, forwarding done %.1f s later\n",
              static_cast<unsigned>(baud), bytes, feedSeconds, drainSeconds);
  PrintGrowth(samples, base);
  std::printf(
      "    counted %lld of %zu sent (%zu + %zu not sent by the devices' writes); "
      "lost 1->2 %s, 2->1 %s\n",
      static_cast<long long>(w->ReceivedByteCount), 2 * bytes - dev1.Unsent() - dev2.Unsent(),
      dev1.Unsent(), dev2.Unsent(), dev2.LostText().c_str(), dev1.LostText().c_str());
  std::printf(
      "    pane: %.0f lines/s in the first 5 s, %.0f in the last 5 s; holds %d lines, "
      "%d characters; forwarding waits %zu + %zu blocks\n",
      start, end, w->Memo1Log.LineCount(), w->Memo1->document()->characterCount(),
      w->Session1->Waiting(), w->Session2->Waiting());
  std::printf(
      "    RSS at the end %.1f MB, at most %.1f MB; error pane at most %d lines "
      "(MaxErrors %d); event loop late p99 %lld ms, worst %lld ms\n",
      rss, rssMost, errorLinesMost, maxErrors,
      static_cast<long long>(lateness.empty() ? 0 : lateness[lateness.size() * 99 / 100]),
      static_cast<long long>(lateness.empty() ? 0 : lateness.back()));
  reports.Print();
  const bool recorded = record.empty() || CheckRecord(*w, record);
  PrintResult({{"record_ok", recorded},
               {"counted", static_cast<double>(w->ReceivedByteCount)},
               {"lost", static_cast<double>(dev1.Lost() + dev2.Lost()) -
                            static_cast<double>(dev1.Unsent() + dev2.Unsent())},
               {"start", start},
               {"end", end},
               {"rss_mb", rss},
               {"rss_most_mb", rssMost},
               {"error_lines", errorLinesMost}});
  w->SerialPort1->SetActive(false);
  w->SerialPort2->SetActive(false);
  return 0;
}

// --- parent -------------------------------------------------------------------------

struct TOptions {
  std::string section = "all";
  double seconds = 60;
  int runs = 3;
  std::vector<unsigned> bauds{115200, 921600, 12000000};
  std::size_t lines = TPaneLog::kDefaultMaxLines;
  std::string record;
  double hours = 10;
  std::string decode;  // spy: each run also with both ports decoded as this device
};

TOptions ParseOptions(int argc, char** argv) {
  TOptions o;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--", 0) != 0 || i + 1 >= argc) {
      o.section = arg;
      continue;
    }
    const std::string value = argv[++i];
    if (arg == "--seconds") o.seconds = std::stod(value);
    if (arg == "--runs") o.runs = std::stoi(value);
    if (arg == "--lines") o.lines = std::stoull(value);
    if (arg == "--record") o.record = value;
    if (arg == "--hours") o.hours = std::stod(value);
    if (arg == "--decode") o.decode = value;
    if (arg == "--baud") {
      o.bauds.clear();
      std::stringstream list(value);
      for (std::string b; std::getline(list, b, ',');) o.bauds.push_back(std::stoul(b));
    }
  }
  return o;
}

// Runs the child command, echoes its lines and returns its figures.
TFigures RunChild(const std::string& command) {
  TFigures figures;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr) return figures;
  char line[1024];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    if (std::string(line).rfind("RESULT ", 0) != 0) {
      std::fputs(line, stdout);
      continue;
    }
    std::stringstream items(line + 7);
    for (std::string item; items >> item;) {
      const auto eq = item.find('=');
      figures[item.substr(0, eq)] = std::atof(item.c_str() + eq + 1);
    }
  }
  ::pclose(pipe);
  return figures;
}

void PrintMedians(const std::vector<TFigures>& runs) {
  if (runs.size() < 2) return;
  std::printf("  median of %zu runs:", runs.size());
  for (const auto& [key, unused] : runs.front()) {
    std::vector<double> values;
    for (const TFigures& run : runs)
      if (run.count(key)) values.push_back(run.at(key));
    std::sort(values.begin(), values.end());
    std::printf(" %s %.4g", key.c_str(), values[values.size() / 2]);
  }
  std::printf("\n");
}

// Each run without decoding, then with it, one after the other; the medians of each
// and their ratios.
void RunDecodePairs(const std::string& title, const std::string& command, int runs,
                    const std::string& protocol) {
  std::printf("%s, without decoding and with both ports decoded as \"%s\"\n", title.c_str(),
              protocol.c_str());
  std::vector<TFigures> plain, decoded;
  for (int run = 0; run < runs; ++run) {
    plain.push_back(RunChild(command));
    decoded.push_back(RunChild("VELTRA_BENCH_DECODE='" + protocol + "' " + command));
  }
  std::printf("  without decoding:\n");
  PrintMedians(plain);
  std::printf("  decoding:\n");
  PrintMedians(decoded);
  for (const char* key : {"start", "end", "counted"}) {
    std::printf("  ratio %s (decoding / without), run by run:", key);
    for (int run = 0; run < runs; ++run)
      if (plain[run].count(key) && decoded[run].count(key) && plain[run].at(key) > 0)
        std::printf(" %.3f", decoded[run].at(key) / plain[run].at(key));
    std::printf("\n");
  }
}

void RunSeries(const std::string& title, const std::string& command, int runs) {
  std::printf("%s\n", title.c_str());
  std::vector<TFigures> results;
  for (int run = 0; run < runs; ++run) results.push_back(RunChild(command));
  PrintMedians(results);
}

int Parent(const char* self, const TOptions& o) {
  const std::string me = std::string(self) + " --child ";
  const std::string lines = " " + std::to_string(o.lines);
  if (o.section == "store" || o.section == "all") {
    const std::string seconds = " " + std::to_string(std::min(o.seconds, 20.0));
    std::printf("store: %zu-line limit, fed 256-byte blocks as fast as the pane takes them\n",
                o.lines);
    RunSeries("  pane's own limit", me + "store own" + seconds + lines, o.runs);
    RunSeries("  Qt's maximumBlockCount", me + "store qt" + seconds + lines, o.runs);
  }
  if (o.section == "search") {
    const unsigned baud = o.bauds.size() == 1 ? o.bauds.front() : 115200;
    std::printf("search: %.1f h at %u baud straight into the history, then Ctrl+F's count\n",
                o.hours, baud);
    RunSeries("", me + "search x " + std::to_string(baud) + " " + std::to_string(o.hours), o.runs);
  }
  if (o.section == "day" || o.section == "day-spy") {
    const bool spy = o.section == "day-spy";
    const unsigned baud = o.bauds.size() == 1 ? o.bauds.front() : 115200;
    const std::string args = " " + std::to_string(baud) + " " + std::to_string(o.hours) + lines;
    std::printf("%s: %.1f h at %u baud fast-forwarded, history budget %.0f MB\n",
                spy ? "spy mode, both ways" : "one port receiving", o.hours, baud,
                static_cast<double>(veltra::logic::TLineHistory::kDefaultBudget) / 1e6);
    RunSeries("", me + (spy ? "day spy" : "day one") + args, o.runs);
  }
  if (o.section == "spy" || o.section == "all") {
    std::printf("spy mode, window shown, both ports receiving, %.0f s, %zu-line limit\n", o.seconds,
                o.lines);
    for (unsigned baud : o.bauds) {
      const std::string command = me + "spy " + std::to_string(baud) + " " +
                                  std::to_string(o.seconds) + lines +
                                  (o.record.empty() ? "" : " '" + o.record + "'");
      if (o.decode.empty())
        RunSeries("  " + std::to_string(baud) + " baud", command, o.runs);
      else
        RunDecodePairs("  " + std::to_string(baud) + " baud", command, o.runs, o.decode);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  if (argc >= 6 && std::string(argv[1]) == "--child") {
    QApplication app(argc, argv);
    const std::string what = argv[2];
    const double seconds = std::atof(argv[4]);
    const std::size_t lines = std::strtoull(argv[5], nullptr, 10);
    if (what == "store") return StoreChild(std::string(argv[3]) == "qt", seconds, lines);
    if (what == "search")
      return SearchChild(static_cast<unsigned>(std::stoul(argv[4])), std::atof(argv[5]));
    if (what == "day")
      return DayChild(std::string(argv[3]) == "spy", static_cast<unsigned>(std::stoul(argv[4])),
                      std::atof(argv[5]));
    return SpyChild(static_cast<win::DWORD>(std::stoul(argv[3])), seconds, lines,
                    argc > 6 ? argv[6] : "");
  }
  return Parent(argv[0], ParseOptions(argc, argv));
}
