#include "cli/status_line.h"

#include <cstdio>

#include "platform/core/win32_types.h"

namespace veltra::cli {

namespace {

using Clock = std::chrono::steady_clock;

unsigned Percent(engine::Cardinal count, engine::Word size) {
  return size == 0 ? 0u
                   : static_cast<unsigned>(std::min<std::uint64_t>(100, count * 100ull / size));
}

std::string Lines(const engine::TSerialPort& port) {
  auto line = [](const char* name, bool on) { return std::string(name) + (on ? "+" : "-"); };
  return line("CTS", port.CTSState()) + " " + line("DSR", port.DSRState()) + " " +
         line("DCD", port.RLSDState()) + " " + line("RI", port.RingState());
}

std::string Holds(engine::TComStateFlags flags) {
  static constexpr const char* kNames[] = {"CTS", "DSR", "DCD", "XOFF-in", "XOFF-out"};
  std::string text;
  for (int bit = 0; bit < 5; ++bit)
    if (flags & (1u << bit)) text += (text.empty() ? " hold " : ",") + std::string(kNames[bit]);
  return text;
}

}  // namespace

std::string ByteCountText(double bytes) {
  char text[32];
  if (bytes < 1000) {
    std::snprintf(text, sizeof text, "%.0f B", bytes);
  } else if (bytes < 1e6) {
    std::snprintf(text, sizeof text, "%.1f kB", bytes / 1e3);
  } else if (bytes < 1e9) {
    std::snprintf(text, sizeof text, "%.1f MB", bytes / 1e6);
  } else {
    std::snprintf(text, sizeof text, "%.2f GB", bytes / 1e9);
  }
  return text;
}

TStatusLine::TStatusLine(TStream& err, std::vector<const session::TPortSession*> ports,
                         bool enabled)
    : err_(err),
      ports_(std::move(ports)),
      rates_(ports_.size()),
      enabled_(enabled && err.IsTerminal()),
      sampledAt_(Clock::now()) {}

void TStatusLine::Sample() {
  const auto now = Clock::now();
  const double seconds = std::chrono::duration<double>(now - sampledAt_).count();
  if (seconds < 1.0) return;  // rates over a second or more, so they do not flicker
  for (std::size_t i = 0; i < ports_.size(); ++i) {
    const session::TPortCounters& c = ports_[i]->Counters();
    TRate& r = rates_[i];
    r.in = static_cast<double>(c.BytesIn - r.lastIn) / seconds;
    r.out = static_cast<double>(c.BytesOut - r.lastOut) / seconds;
    r.lastIn = c.BytesIn;
    r.lastOut = c.BytesOut;
  }
  sampledAt_ = now;
}

std::string TStatusLine::PortText(const session::TPortSession& s, const TRate& r) const {
  const engine::TSerialPort& p = s.Port();
  const session::TPortCounters& c = s.Counters();
  return std::string(s.Prefixes().Rec, 2) + " in " + ByteCountText(double(c.BytesIn)) + " " +
         ByteCountText(r.in) + "/s, out " + ByteCountText(double(c.BytesOut)) + " " +
         ByteCountText(r.out) + "/s, rxq " +
         std::to_string(Percent(p.CommStateInQueue(), p.RxQueueSize())) + "% txq " +
         std::to_string(Percent(p.CommStateOutQueue(), p.TxQueueSize())) + "%, " + Lines(p) +
         Holds(p.CommStateFlags());
}

void TStatusLine::Draw() {
  if (!enabled_) return;
  Sample();
  std::string text;
  for (std::size_t i = 0; i < ports_.size(); ++i)
    text += (i == 0 ? "" : " | ") + PortText(*ports_[i], rates_[i]);
  const int columns = err_.Columns();
  if (columns > 1 && text.size() >= static_cast<std::size_t>(columns))
    text.resize(static_cast<std::size_t>(columns - 1));
  err_.Write("\r" + text + "\033[K");
  visible_ = true;
}

void TStatusLine::Hide() {
  if (!visible_) return;
  err_.Write("\r\033[K");
  visible_ = false;
}

}  // namespace veltra::cli
