// Throughput of the traffic pane's dump formatter, with xxd and hexdump run on the
// same bytes for comparison when they are installed.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>

#include "session/hex_dump.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point since) {
  return std::chrono::duration<double>(Clock::now() - since).count();
}

std::string RandomBytes(std::size_t size) {
  std::mt19937 rng(7);
  std::string bytes(size, '\0');
  for (char& c : bytes) c = static_cast<char>(rng() & 0xFF);
  return bytes;
}

// Formats the data in blocks of `blockSize`, as the receive handler gets them.
double FormatterMBps(const std::string& data, std::size_t blockSize, int rounds) {
  std::string out;
  out.reserve(veltra::session::DumpSize(blockSize) * 2);
  std::size_t produced = 0;
  const auto start = Clock::now();
  for (int r = 0; r < rounds; ++r) {
    for (std::size_t at = 0; at < data.size(); at += blockSize) {
      out.clear();
      veltra::session::AppendDumpLines(std::string_view(data).substr(at, blockSize), out);
      produced += out.size();
    }
  }
  const double s = Seconds(start);
  if (produced == 0) std::puts("nothing produced");
  return static_cast<double>(data.size()) * rounds / s / 1e6;
}

bool Installed(const char* tool) {
  const std::string probe = std::string("command -v ") + tool + " >/dev/null 2>&1";
  return std::system(probe.c_str()) == 0;
}

void RunTool(const char* label, const std::string& command, std::size_t bytes) {
  const auto start = Clock::now();
  const int rc = std::system(command.c_str());
  const double s = Seconds(start);
  if (rc != 0) {
    std::printf("%-22s failed (rc %d)\n", label, rc);
    return;
  }
  std::printf("%-22s %8.1f MB/s\n", label, static_cast<double>(bytes) / s / 1e6);
}

}  // namespace

int main() {
  constexpr std::size_t kSize = 32u << 20;
  const std::string data = RandomBytes(kSize);
  std::printf("input: %zu MB of random bytes\n", kSize >> 20);
  for (std::size_t block : {std::size_t{8}, std::size_t{64}, std::size_t{3072}, kSize}) {
    const double mbps = FormatterMBps(data, block, 3);
    std::printf("formatter, %8zu-byte blocks %8.1f MB/s\n", block, mbps);
  }

  const std::string path = "/tmp/veltra_dump_bench.bin";
  std::ofstream(path, std::ios::binary).write(data.data(), static_cast<std::streamsize>(kSize));
  if (Installed("xxd"))
    RunTool("xxd -c 8", "xxd -c 8 " + path + " >/dev/null", kSize);
  else
    std::puts("xxd not installed");
  if (Installed("hexdump"))
    RunTool("hexdump -C", "hexdump -C " + path + " >/dev/null", kSize);
  else
    std::puts("hexdump not installed");
  std::remove(path.c_str());
  return 0;
}
