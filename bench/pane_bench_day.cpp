// The pane bench's store, day and search sections (see pane_bench.cpp).
#include "bench/pane_bench.h"

namespace pane_bench {

// --- store --------------------------------------------------------------------------

namespace {

std::string RandomBlock(std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string block(size, '\0');
  for (char& c : block) c = static_cast<char>(rng() & 0xFF);
  return block;
}

}  // namespace

int StoreChild(bool qtLimit, double seconds, std::size_t maxLines) {
  QPlainTextEdit pane;
  QPlainTextEdit* pointer = &pane;
  pane.setLineWrapMode(QPlainTextEdit::NoWrap);
  pane.resize(700, 300);
  pane.show();
  // Qt's bound trims on its own; the pane's own bound then never has anything to do.
  TPaneLog log(pointer, [&] { return qtLimit ? std::size_t{1} << 30 : maxLines; });
  if (qtLimit) pane.setMaximumBlockCount(static_cast<int>(maxLines) + 1);
  const std::string block = RandomBlock(256, 7);  // 32 dump lines and a header
  const double base = RssMb();
  std::vector<double> taken{0};
  QElapsedTimer clock;
  clock.start();
  double full = 0;  // seconds until the pane was full
  while (clock.elapsed() < seconds * 1000) {
    for (int i = 0; i < 16; ++i) {
      log.Add("P1:Rec  07.12.26 14:03:59 :");
      log.AddDump(block);
    }
    log.Flush();
    QCoreApplication::processEvents();
    const auto count = static_cast<double>(log.LinesTaken());
    if (full == 0 && count >= static_cast<double>(maxLines)) full = clock.elapsed() / 1000.0;
    if (clock.elapsed() >= static_cast<qint64>(taken.size()) * 1000) taken.push_back(count);
  }
  const double rss = RssMb() - base;
  const double lines = pane.document()->blockCount() - 1;
  const auto [start, end] = StartAndEndRates(taken, 2);
  const std::string filled =
      full > 0 ? "full after " + std::to_string(full).substr(0, 4) + " s" : "not full";
  std::printf(
      "  %-22s %7.0f lines/s at the start, %7.0f at the end; %s; %7.0f lines held, "
      "%6.1f MB RSS = %5.0f B a line, %4.1f B a logged byte\n",
      qtLimit ? "Qt maximumBlockCount:" : "pane's own limit:", start, end, filled.c_str(), lines,
      rss, rss * 1e6 / lines, rss * 1e6 / lines * 33 / 256);
  PrintResult({{"start", start}, {"end", end}, {"rss_mb", rss}, {"b_per_line", rss * 1e6 / lines}});
  return 0;
}

// --- day ----------------------------------------------------------------------------

namespace {

std::string Stamp(std::uint64_t second) {
  char text[32];
  std::snprintf(text, sizeof text,
                "07.12.26 %02u:%02u:%02u :", static_cast<unsigned>(second / 3600 % 24),
                static_cast<unsigned>(second / 60 % 60), static_cast<unsigned>(second % 60));
  return text;
}

// One simulated second of traffic: 256-byte blocks at the line's rate, each port.
void FeedSecond(TPaneLog& log, std::mt19937& rng, std::uint64_t second, unsigned baud, bool spy,
                std::uint64_t& bytes) {
  const std::size_t perPort = baud / 10;
  for (std::size_t at = 0; at < perPort; at += 256) {
    std::string block(std::min<std::size_t>(256, perPort - at), '\0');
    for (int port = 0; port < (spy ? 2 : 1); ++port) {
      for (char& c : block) c = static_cast<char>(rng() & 0xFF);
      log.Add((port == 0 ? "P1:Rec  " : "P2:Rec  ") + Stamp(second));
      log.AddDump(block);
      bytes += block.size();
      if (!spy) continue;
      log.Add((port == 0 ? "P2:Snd " : "P1:Snd ") + Stamp(second));
      log.Add(block);
    }
  }
}

// Brings `blocks` blocks back at the top of the view; the milliseconds each took.
std::vector<double> TimeReadBack(QPlainTextEdit& pane, const veltra::logic::TLineHistory& history,
                                 int blocks) {
  std::vector<double> ms;
  for (int i = 0; i < blocks && history.Lines() > 0; ++i) {
    const auto before = history.Lines();
    QElapsedTimer clock;
    clock.start();
    pane.verticalScrollBar()->setValue(0);
    while (history.Lines() == before && clock.elapsed() < 5000) QCoreApplication::processEvents();
    ms.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
  }
  return ms;
}

void PrintDayRow(double hours, double seconds, double rss, const veltra::logic::TLineHistory& h,
                 int paneLines, double rate) {
  std::printf(
      "    %5.2f h in %6.1f s: RSS %6.1f MB, history %6.1f MB in %9llu lines "
      "(%llu dropped), pane %6d lines, %7.0f lines/s\n",
      hours, seconds, rss, static_cast<double>(h.MemoryBytes()) / 1e6,
      static_cast<unsigned long long>(h.Lines()), static_cast<unsigned long long>(h.LinesDropped()),
      paneLines, rate);
}

// Search as Ctrl+F counts: the whole history, then the pane's lines. The slowest of
// a text, hex bytes and a header's time, in milliseconds.
double TimeSearches(QPlainTextEdit& pane, const veltra::logic::TLineHistory& history) {
  double slowest = 0;
  for (const char* query : {"Hello", "1B 40 0A", "12:00:00"}) {
    QElapsedTimer clock;
    clock.start();
    const std::clock_t cpu = std::clock();
    veltra::logic::TLogSearch search(query, {});
    const std::uint64_t inHistory = veltra::logic::CountInHistory(history, search);
    veltra::logic::TLogSearch paneSearch(query, {});
    std::uint64_t inPane = 0;
    for (QTextBlock b = pane.document()->begin(); b.isValid(); b = b.next()) {
      const QByteArray line = b.text().toLatin1();
      inPane += paneSearch.Line(
          std::string_view(line.constData(), static_cast<std::size_t>(line.size())));
    }
    const double ms = static_cast<double>(clock.nsecsElapsed()) / 1e6;
    const double cpuMs = 1000.0 * static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC;
    slowest = std::max(slowest, ms);
    std::printf(
        "    search \"%s\": %llu in the history, %llu in the pane, %.0f ms (%.0f ms of CPU)\n",
        query, static_cast<unsigned long long>(inHistory), static_cast<unsigned long long>(inPane),
        ms, cpuMs);
  }
  return slowest;
}

}  // namespace

// The history of a day straight, without the pane (which takes most of the day
// section's time), then the searches on it.
int SearchChild(unsigned baud, double hours) {
  veltra::logic::TLineHistory history;
  std::mt19937 rng(11);
  std::string lines;
  QElapsedTimer clock;
  clock.start();
  const auto seconds = static_cast<std::uint64_t>(hours * 3600);
  std::uint64_t bytes = 0;
  for (std::uint64_t second = 0; second < seconds; ++second) {
    std::string block(256, '\0');
    for (std::size_t at = 0; at < baud / 10; at += block.size()) {
      for (char& c : block) c = static_cast<char>(rng() & 0xFF);
      history.Push("P1:Rec  " + Stamp(8 * 3600 + second));
      lines.clear();
      veltra::session::AppendDumpLines(block, lines);
      for (std::size_t from = 0; from < lines.size(); from += veltra::session::kDumpLineLength + 1)
        history.Push(std::string_view(lines).substr(from, veltra::session::kDumpLineLength));
      bytes += block.size();
    }
  }
  std::printf(
      "    %.1f h at %u baud: %.0f MB logged, history %.1f MB in %llu lines (%llu dropped), "
      "filled in %.0f s\n",
      hours, baud, static_cast<double>(bytes) / 1e6,
      static_cast<double>(history.MemoryBytes()) / 1e6,
      static_cast<unsigned long long>(history.Lines()),
      static_cast<unsigned long long>(history.LinesDropped()), clock.elapsed() / 1000.0);
  QPlainTextEdit pane;  // empty: the history alone
  PrintResult({{"search_ms", TimeSearches(pane, history)}});
  return 0;
}

int DayChild(bool spy, unsigned baud, double hours) {
  QPlainTextEdit pane;
  QPlainTextEdit* pointer = &pane;
  pane.setLineWrapMode(QPlainTextEdit::NoWrap);
  pane.resize(700, 300);
  pane.show();
  veltra::logic::TLineHistory history;
  TPaneLog log(
      pointer, [] { return TPaneLog::kDefaultMaxLines; }, &history);
  std::mt19937 rng(11);
  const double base = RssMb();
  std::uint64_t bytes = 0, lastLines = 0, perByteAtBytes = 0;
  double perByte = 0, rssPerByte = 0, startRate = 0, endRate = 0, rssMost = 0;
  QElapsedTimer clock, interval;
  clock.start();
  interval.start();
  const auto seconds = static_cast<std::uint64_t>(hours * 3600);
  const std::uint64_t every = 1800;
  for (std::uint64_t second = 0; second < seconds; ++second) {
    FeedSecond(log, rng, 8 * 3600 + second, baud, spy, bytes);
    log.Flush();
    QCoreApplication::processEvents();
    if ((second + 1) % every != 0 && second + 1 != seconds) continue;
    const auto lines = log.LinesTaken() + log.LinesSkipped();
    const double rate = static_cast<double>(lines - lastLines) / (interval.restart() / 1000.0);
    lastLines = lines;
    if (startRate == 0) startRate = rate;
    endRate = rate;
    const double rss = RssMb();
    rssMost = std::max(rssMost, rss);
    // Before the budget drops anything: what the history costs per byte it holds.
    if (history.LinesDropped() == 0 && lines > 0) {
      const double held = static_cast<double>(bytes) * static_cast<double>(history.Lines()) /
                          static_cast<double>(lines);
      perByte = static_cast<double>(history.MemoryBytes()) / held;
      rssPerByte = (rss - base) * 1e6 / static_cast<double>(bytes);
      perByteAtBytes = bytes;
    }
    PrintDayRow(static_cast<double>(second + 1) / 3600, clock.elapsed() / 1000.0, rss, history,
                log.LineCount(), rate);
  }
  pane.verticalScrollBar()->setValue(pane.verticalScrollBar()->maximum());
  std::vector<double> back = TimeReadBack(pane, history, 20);
  std::sort(back.begin(), back.end());
  QElapsedTimer shrink;
  shrink.start();
  pane.verticalScrollBar()->setValue(pane.verticalScrollBar()->maximum());
  while (log.LineCount() > static_cast<int>(TPaneLog::kDefaultMaxLines) && shrink.elapsed() < 20000)
    QCoreApplication::processEvents();
  const double shrinkMs = static_cast<double>(shrink.nsecsElapsed()) / 1e6;
  const double readBack = back.empty() ? 0 : back[back.size() / 2];
  const double searchMs = TimeSearches(pane, history);
  std::printf(
      "    history %.3f B a logged byte, RSS %.1f B a logged byte after %.0f MB; "
      "RSS at most %.1f MB; read back %zu blocks of %zu lines: median %.1f ms, "
      "worst %.1f ms; back to the window in %.0f ms\n",
      perByte, rssPerByte, static_cast<double>(perByteAtBytes) / 1e6, rssMost, back.size(),
      TPaneLog::kReadBackBlockLines, readBack, back.empty() ? 0 : back.back(), shrinkMs);
  PrintResult({{"history_b_per_byte", perByte},
               {"rss_b_per_byte", rssPerByte},
               {"rss_most_mb", rssMost},
               {"start", startRate},
               {"end", endRate},
               {"read_back_ms", readBack},
               {"shrink_ms", shrinkMs},
               {"search_ms", searchMs}});
  return 0;
}

}  // namespace pane_bench
