// Shared by the pane bench's sections: the child's figures line, RSS, running the
// event loop for a while, and the sections' entry points.
#pragma once

// Each run is a child process, so its RSS is its own; medians follow the runs.
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QScrollBar>
#include <QTextBlock>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/logic/line_history.h"
#include "app/logic/log_search.h"
#include "app/veltra.h"
#include "platform/core/comm_api.h"
#include "platform/virtual/virtual_ports.h"
#include "session/hex_dump.h"
#include "session/integer_text.h"
#include "tests/platform/far_end_open.h"

namespace win = veltra::win;
using veltra::app::TPaneLog;
using veltra::app::TSerialPort;
using veltra::app::TVeltra;

namespace pane_bench {

inline double RssMb() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * 4096 / 1e6;
}

// A child's figures: one "RESULT key=value ..." line the parent collects.
using TFigures = std::map<std::string, double>;

inline void PrintResult(const TFigures& figures) {
  std::printf("RESULT");
  for (const auto& [key, value] : figures) std::printf(" %s=%.6g", key.c_str(), value);
  std::printf("\n");
}

// Runs the event loop until done() holds or `ms` have passed; every() runs each 20 ms.
template <typename Done, typename Every>
void RunLoopUntil(Done done, qint64 ms, Every every) {
  QEventLoop loop;
  QElapsedTimer clock;
  clock.start();
  QTimer check;
  check.setInterval(20);
  QObject::connect(&check, &QTimer::timeout, &loop, [&] {
    every();
    if (done() || clock.elapsed() > ms) loop.quit();
  });
  check.start();
  loop.exec();
}

// Lines taken per second over the first and the last `window` seconds of samples
// taken once a second (index = seconds).
inline std::pair<double, double> StartAndEndRates(const std::vector<double>& taken,
                                                  std::size_t window) {
  if (taken.size() < 2) return {0, 0};
  const std::size_t w = std::min(window, taken.size() - 1);
  const std::size_t n = taken.size() - 1;
  return {(taken[w] - taken[0]) / static_cast<double>(w),
          (taken[n] - taken[n - w]) / static_cast<double>(w)};
}

int StoreChild(bool qtLimit, double seconds, std::size_t maxLines);
int SearchChild(unsigned baud, double hours);
int DayChild(bool spy, unsigned baud, double hours);

}  // namespace pane_bench
