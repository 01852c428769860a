// Simulated point-of-sale devices behind built-in virtual ports: a scanner, a scale
// and a cash register, each answering what the device tests send.
#include <algorithm>
#include <cstdio>
#include <optional>

#include "platform/core/thread_name.h"
#include "platform/virtual/simulated_devices.h"
#include "platform/virtual/virtual_device.h"

namespace veltra::platform {

using namespace win;

namespace {

using Clock = std::chrono::steady_clock;

constexpr char kSTX = 0x02, kETX = 0x03, kEOT = 0x04, kENQ = 0x05, kACK = 0x06, kDLE = 0x10,
               kNAK = 0x15, kESC = 0x1B;

}  // namespace

// --- VirtualDevice ------------------------------------------------------------------

VirtualDevice::~VirtualDevice() {
  Detach();
}

void VirtualDevice::Attach(std::unique_ptr<Uart> uart) {
  DCB line;
  line.BaudRate = 9600;
  line.ByteSize = 8;
  line.Parity = NOPARITY;
  line.StopBits = ONESTOPBIT;
  line.Flags = DCB_fBinary;
  uart->Configure(line);
  uart->SetDtr(true);
  uart->SetRts(true);
  Uart* started = uart.get();
  {
    std::lock_guard io(io_);
    std::lock_guard state(state_);
    uart_ = std::move(uart);
    tickerStop_ = false;
  }
  started->Start(*this);
  ticker_ = std::thread([this] {
    NameCurrentThread("veltra-device");
    TickerLoop();
  });
}

void VirtualDevice::Detach() {
  std::unique_ptr<Uart> uart;
  {
    std::lock_guard io(io_);
    std::lock_guard state(state_);
    uart = std::move(uart_);
    tickerStop_ = true;
    tickerWake_.notify_all();
  }
  if (ticker_.joinable()) ticker_.join();
  if (uart) uart->Stop();
  std::lock_guard state(state_);
  transmit_.clear();  // what the host did not take is gone with the line
  flushWanted_ = false;
}

void VirtualDevice::OnReceive(const std::uint8_t* data, std::size_t count) {
  {
    std::lock_guard state(state_);
    for (std::size_t i = 0; i < count; ++i) Received(data[i]);
  }
  FlushInsideSink();
}

void VirtualDevice::OnReceiveError(std::uint8_t byte, DWORD) {
  OnReceive(&byte, 1);
}

std::size_t VirtualDevice::TakeTransmit(std::uint8_t* out, std::size_t max) {
  std::lock_guard state(state_);
  const std::size_t n = std::min(max, transmit_.size());
  std::copy_n(transmit_.begin(), n, out);
  transmit_.erase(0, n);
  return n;
}

void VirtualDevice::Answer(const std::string& bytes) {
  transmit_ += bytes;
  flushWanted_ = true;
}

bool VirtualDevice::Act(const std::function<bool()>& action) {
  bool result = false;
  {
    std::lock_guard state(state_);
    result = action();
    tickerWake_.notify_all();  // the action may have changed the interval
  }
  Flush();
  return result;
}

void VirtualDevice::Flush() {
  std::lock_guard io(io_);
  {
    std::lock_guard state(state_);
    if (!flushWanted_) return;
    flushWanted_ = false;
  }
  if (uart_) uart_->TransmitReady();
}

void VirtualDevice::FlushInsideSink() {
  Uart* uart = nullptr;
  {
    std::lock_guard state(state_);
    if (!flushWanted_) return;
    flushWanted_ = false;
    uart = uart_.get();
  }
  // Detach may have taken uart_ meanwhile, but it stops the line only after this
  // call into the device has returned.
  if (uart) uart->TransmitReady();
}

void VirtualDevice::TickerLoop() {
  std::unique_lock lock(state_);
  auto last = Clock::now();
  while (!tickerStop_) {
    const auto interval = Interval();
    if (interval.count() <= 0) {
      tickerWake_.wait(lock);
      last = Clock::now();
    } else if (Clock::now() < last + interval) {
      tickerWake_.wait_until(lock, last + interval);
    } else {
      last = Clock::now();
      Tick();
      lock.unlock();
      Flush();
      lock.lock();
    }
  }
}

namespace {

// --- scanner ------------------------------------------------------------------------

// EAN-13: twelve digits and their check digit.
std::string Ean13(const std::string& twelve) {
  int sum = 0;
  for (std::size_t i = 0; i < twelve.size(); ++i) sum += (twelve[i] - '0') * (i % 2 ? 3 : 1);
  return twelve + static_cast<char>('0' + (10 - sum % 10) % 10);
}

class Scanner final : public VirtualDevice {
 public:
  bool Scan(const std::string& label) {
    return Act([&] {
      if (!enabled_ || !Attached()) return false;
      Send(label.empty() ? NextLabel() : label);
      return true;
    });
  }
  void SetInterval(std::chrono::milliseconds interval) {
    Act([&] {
      interval_ = interval;
      return true;
    });
  }

 private:
  void Received(std::uint8_t byte) override {
    if (byte != 'E' && byte != 'D' && byte != 'F') return;  // line ends, noise
    if (byte != 'F') enabled_ = byte == 'E';
    Answer(std::string(1, kACK));
  }
  void Tick() override {
    if (enabled_) Send(NextLabel());
  }
  std::chrono::milliseconds Interval() const override { return interval_; }

  void Send(const std::string& label) { Answer(label + '\r'); }
  std::string NextLabel() {
    static const char* const kStems[] = {"400638133393", "590123412345", "401234567890",
                                         "871234567890", "762123456789"};
    const std::size_t count = std::size(kStems);
    return Ean13(kStems[next_++ % count]);
  }

  bool enabled_ = true;  // a scanner powers up enabled
  std::size_t next_ = 0;
  std::chrono::milliseconds interval_ = kDefaultScanInterval;
};

// --- scale --------------------------------------------------------------------------

class Scale final : public VirtualDevice {
 private:
  enum class State { Idle, AfterEot, Record };

  void Received(std::uint8_t byte) override {
    const char c = static_cast<char>(byte);
    if (c == '\r' || c == '\n') return;
    switch (state_) {
      case State::Idle:
        if (c == kEOT) state_ = State::AfterEot;  // anything else between messages is noise
        break;
      case State::AfterEot:
        state_ = State::Idle;
        if (c == kEOT) state_ = State::AfterEot;
        if (c == kENQ) WeightRequest();
        if (c == kSTX) {
          record_.clear();
          state_ = State::Record;
        }
        break;
      case State::Record:
        if (c == kETX) {
          state_ = State::Idle;
          Record();
        } else if (c == kEOT) {
          state_ = State::AfterEot;
        } else if (record_.size() < 64) {
          record_.push_back(c);
        }
        break;
    }
  }

  // Record 01: "01" ESC six digits of the unit price per kg in cents, ESC.
  void Record() {
    const bool price = record_.size() >= 9 &&
                       record_.compare(0, 3, std::string("01") + kESC) == 0 &&
                       std::all_of(record_.begin() + 3, record_.begin() + 9,
                                   [](char d) { return d >= '0' && d <= '9'; }) &&
                       (record_.size() == 9 || record_.substr(9) == std::string(1, kESC));
    if (price) price_ = std::stoi(record_.substr(3, 6));
    Answer(std::string(1, price ? kACK : kNAK));
  }

  // Record 02: status "3" (kg), weight in grams, unit price, price to pay.
  void WeightRequest() {
    if (!price_) {
      Answer(std::string(1, kNAK));
      return;
    }
    seed_ = seed_ * 1103515245u + 12345u;
    const long grams = 100 + static_cast<long>((seed_ >> 8) % 4900);
    const long toPay = (grams * *price_ + 500) / 1000;
    char text[48];
    std::snprintf(text, sizeof text, "%c02%c3%c%05ld%c%06d%c%06ld%c", kSTX, kESC, kESC, grams, kESC,
                  *price_, kESC, toPay % 1000000, kETX);
    Answer(text);
  }

  State state_ = State::Idle;
  std::string record_;
  std::optional<int> price_;
  std::uint32_t seed_ = 20240611u;
};

// --- cash register ------------------------------------------------------------------

std::uint8_t ComplementOfSum(const std::string& bytes) {
  std::uint8_t sum = 0;
  for (char c : bytes) sum = static_cast<std::uint8_t>(sum + static_cast<std::uint8_t>(c));
  return static_cast<std::uint8_t>(~sum);
}

// DLE STX, the payload with each DLE doubled, DLE ETX, the check byte.
std::string Framed(const std::string& payload) {
  std::string frame{kDLE, kSTX};
  for (char c : payload) {
    frame.push_back(c);
    if (c == kDLE) frame.push_back(kDLE);
  }
  frame += {kDLE, kETX};
  frame.push_back(static_cast<char>(ComplementOfSum(frame)));
  return frame;
}

class CashRegister final : public VirtualDevice {
 private:
  enum class State { Hunt, HuntDle, Frame, FrameDle, Check };

  void Received(std::uint8_t byte) override {
    const char c = static_cast<char>(byte);
    switch (state_) {
      case State::Hunt:  // bytes outside a frame are noise
        if (c == kDLE) state_ = State::HuntDle;
        break;
      case State::HuntDle:
        if (c == kSTX)
          Begin();
        else if (c != kDLE)
          state_ = State::Hunt;
        break;
      case State::Frame:
        raw_.push_back(c);
        if (c == kDLE)
          state_ = State::FrameDle;
        else
          payload_.push_back(c);
        if (raw_.size() > 4096) state_ = State::Hunt;
        break;
      case State::FrameDle:
        raw_.push_back(c);
        if (c == kDLE) {
          payload_.push_back(c);
          state_ = State::Frame;
        } else if (c == kETX) {
          state_ = State::Check;
        } else if (c == kSTX) {
          Begin();  // a new frame after a broken one
        } else {
          state_ = State::Hunt;
          Answer(std::string(1, kNAK));
        }
        break;
      case State::Check:
        state_ = State::Hunt;
        if (static_cast<std::uint8_t>(c) != ComplementOfSum(raw_) || payload_.empty()) {
          Answer(std::string(1, kNAK));
          break;
        }
        char report[64];
        std::snprintf(report, sizeof report, "REPORT %04u TOTAL 1234.56", ++reports_ % 10000);
        Answer(std::string(1, kACK) + Framed(payload_.substr(0, 1) + report));
        break;
    }
  }

  void Begin() {
    raw_ = {kDLE, kSTX};
    payload_.clear();
    state_ = State::Frame;
  }

  State state_ = State::Hunt;
  std::string raw_;  // the frame as sent, for the check byte
  std::string payload_;
  unsigned reports_ = 0;
};

std::shared_ptr<Scanner> TheScanner() {
  // Outlives static destructors, like the port registry that holds it.
  static auto* scanner = new std::shared_ptr<Scanner>(std::make_shared<Scanner>());
  return *scanner;
}

}  // namespace

std::vector<BuiltInDevice> MakeSimulatedDevices() {
  return {
      {kScannerPortName,
       "simulated PSC Magellan scanner, 9600 8N1: E, D and F acknowledged; a label every 3 s "
       "while enabled",
       TheScanner()},
      {kScalePortName,
       "simulated scale, 9600 8N1, Dialog 06: price record acknowledged, EOT ENQ answered with "
       "the weight",
       std::make_shared<Scale>()},
      {kCashRegisterPortName,
       "simulated ER-650 cash register, 9600 8N1: report request answered with ACK and a report",
       std::make_shared<CashRegister>()},
  };
}

bool ScanBarcode(const std::string& label) {
  return TheScanner()->Scan(label);
}

void SetScanInterval(std::chrono::milliseconds interval) {
  TheScanner()->SetInterval(interval);
}

}  // namespace veltra::platform
