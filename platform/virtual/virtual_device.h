// A device served in-process behind a virtual port: the far end of the port's cable
// belongs to the device, which answers what the host sends. The cable attaches the
// device when the port opens and detaches it when the port closes; the device keeps
// its state in between.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/driver/uart.h"

namespace veltra::platform {

class VirtualDevice : public UartSink {
 public:
  VirtualDevice() = default;
  ~VirtualDevice() override;
  VirtualDevice(const VirtualDevice&) = delete;
  VirtualDevice& operator=(const VirtualDevice&) = delete;

  // Takes the device's end of the cable, opened: sets the device's line (9600 8N1),
  // raises DTR and RTS and starts listening.
  void Attach(std::unique_ptr<Uart> uart);
  // Closes the device's end; no call into the device runs once this returns.
  void Detach();

  // What the host sends reaches Received byte by byte; a byte garbled on the line
  // (wrong baud rate or format) reaches it too, and upsets the device as it would a
  // real one.
  void OnReceive(const std::uint8_t* data, std::size_t count) override;
  void OnReceiveError(std::uint8_t byte, DWORD lineError) override;
  void OnLineError(DWORD) override {}
  void OnModemStatus(DWORD) override {}
  void OnBreak() override {}
  void OnVanished() override {}
  std::size_t TakeTransmit(std::uint8_t* out, std::size_t max) override;
  void OnTransmitterEmpty() override {}

 protected:
  // The hooks run under the device's lock, one at a time.
  virtual void Received(std::uint8_t byte) = 0;
  // Runs every Interval() while attached; zero: never.
  virtual void Tick() {}
  virtual std::chrono::milliseconds Interval() const { return std::chrono::milliseconds(0); }

  // Queues bytes for the host; only from inside the hooks or Act.
  void Answer(const std::string& bytes);
  bool Attached() const { return uart_ != nullptr; }  // inside the hooks or Act
  // Runs `action` under the device's lock and sends what it answered.
  bool Act(const std::function<bool()>& action);

 private:
  // Announces queued answers to the cable: Flush from outside the cable's calls,
  // FlushInsideSink from inside them (the cable then takes the bytes in the same
  // round, and taking io_ there would wait on a thread that waits for that round).
  void Flush();
  void FlushInsideSink();
  void TickerLoop();

  std::mutex state_;  // the subclass's state and the bytes waiting for the host
  std::string transmit_;
  bool flushWanted_ = false;
  std::mutex io_;               // held while calling into the cable from outside it
  std::unique_ptr<Uart> uart_;  // written under both locks
  std::thread ticker_;
  std::condition_variable tickerWake_;
  bool tickerStop_ = false;  // under state_
};

// The devices behind the built-in ports, one object each for the life of the
// process; names as in simulated_devices.h.
struct BuiltInDevice {
  std::string name;
  std::string description;
  std::shared_ptr<VirtualDevice> device;
};
std::vector<BuiltInDevice> MakeSimulatedDevices();

}  // namespace veltra::platform
