// The split inside the serial layer, as in a real driver: the upper half
// (SerialDriver) keeps Win32's semantics (receive ring, event mask and
// WaitCommEvent, overlapped reads and writes with their time-outs, ClearCommError,
// PurgeComm, XonLim/XoffLim); the lower half (a Uart) moves bytes and line states
// to and from one kind of device: a kernel tty (uart_posix.cpp) or an in-process
// virtual port (uart_virtual.cpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/core/win32_types.h"
#include "platform/driver/port_notices.h"

namespace veltra::platform {

using win::DCB;
using win::DWORD;

// Implemented by the upper half; called by the lower half, possibly from its own
// I/O thread. The upper half serialises these calls internally.
class UartSink {
 public:
  virtual ~UartSink() = default;
  // Bytes received without line errors, in arrival order.
  virtual void OnReceive(const std::uint8_t* data, std::size_t count) = 0;
  // One byte received with a line error: CE_RXPARITY, CE_FRAME, or CE_BREAK (a break
  // arrives as byte 0). The upper half applies ErrorChar replacement and fNull.
  virtual void OnReceiveError(std::uint8_t byte, DWORD lineError) = 0;
  // Line errors with no byte to attach them to (CE_OVERRUN from the kernel's counters).
  virtual void OnLineError(DWORD lineErrors) = 0;
  // The modem status word (MS_*) changed; the upper half derives EV_CTS, EV_DSR,
  // EV_RLSD and EV_RING from the difference.
  virtual void OnModemStatus(DWORD modemStatus) = 0;
  // A break condition started on the line (EV_BREAK).
  virtual void OnBreak() = 0;
  // The device has gone: every later call fails with ERROR_DEVICE_NOT_CONNECTED.
  virtual void OnVanished() = 0;
  // Transmit path: copies up to max bytes that the driver wants sent; returns how
  // many (0: nothing queued). The bytes count as sent from the driver's queue on.
  virtual std::size_t TakeTransmit(std::uint8_t* out, std::size_t max) = 0;
  // Everything taken so far has left the transmitter (EV_TXEMPTY when the driver's
  // own queue is empty too).
  virtual void OnTransmitterEmpty() = 0;
  // The driver wants input paused, whether or not PauseReceive has reached the
  // lower half yet (another thread may still be applying it). A lower half that can
  // leave bytes below (a tty) takes no more meanwhile, or the ring overflows.
  virtual bool ReceivePauseWanted() { return false; }
  // Something a technician should hear of that no call fails with: a peer breaking
  // its protocol, a setting it refused, why a connection ended.
  virtual void OnNotice(const PortNotice& notice) { (void)notice; }
};

// The lower half. Every call returns 0 or a Win32 error code.
class Uart {
 public:
  virtual ~Uart() = default;
  // Begins delivering to sink; called once, right after opening.
  virtual void Start(UartSink& sink) = 0;
  // Ends all delivery; no sink call happens after Stop has returned. Closes the device.
  virtual void Stop() = 0;
  // Applies line parameters and flow control. ERROR_INVALID_PARAMETER (87) for a
  // combination the device cannot do; the previous settings then stay.
  virtual DWORD Configure(const DCB& dcb) = 0;
  virtual DWORD SetRts(bool on) = 0;
  virtual DWORD SetDtr(bool on) = 0;
  virtual DWORD SetBreak(bool on) = 0;
  virtual DWORD GetModemStatus(DWORD* modemStatus) = 0;
  // The driver has bytes to send: the lower half pulls them with TakeTransmit.
  virtual void TransmitReady() = 0;
  // Bytes taken from the driver that have not yet left the line (kernel output
  // queue, virtual wire), for COMSTAT.cbOutQue and EV_TXEMPTY.
  virtual DWORD OutputPending() = 0;
  // COMSTAT hold flags only the device can know (fCtsHold, fDsrHold, fRlsdHold,
  // fXoffHold, fXoffSent), derived where the device does not report them.
  virtual DWORD HoldFlags() = 0;
  // Input flow control: the driver's receive ring passed XoffLim (paused) or fell
  // below XonLim again (resumed). The lower half stops taking bytes in (a tty lets
  // the kernel throttle) or signals the peer (RTS/DTR handshake, XOFF/XON).
  virtual void PauseReceive(bool paused) = 0;
  // Drops bytes waiting below the driver (kernel queues, virtual wire).
  virtual void PurgeTransmit() = 0;
  virtual void PurgeReceive() = 0;
  // A write timed out: drops what was taken from the driver and has not left yet,
  // as far as the device can tell, and returns how many bytes that was.
  virtual std::size_t TakeBackUnsent() { return 0; }
  // True when the lower half would take the driver's bytes at once if its thread ran:
  // nothing holds its output and nothing taken earlier still waits to leave. A write
  // found untouched at its deadline in that state met a late thread, not a held line.
  virtual bool ReadyToTake() { return false; }
  // EscapeCommFunction SETXOFF / SETXON: transmission acts as if XOFF / XON had been
  // received (tcflow on a tty).
  virtual DWORD SetTransmitHeld(bool held) {
    (void)held;
    return win::ERROR_NOT_SUPPORTED;
  }
  // True when PauseReceive may be called from inside a sink callback on the lower
  // half's own thread; otherwise the driver calls it from another thread. Such a
  // PauseReceive must never wait for a sink callback to end: a callback may be
  // waiting for another thread's PauseReceive call to return.
  virtual bool AcceptsCallsFromSink() const { return false; }
};

// Opens the lower half for a port name as CreateFileA gets it (after the driver
// has taken away a leading "\\.\"). Each returns null and sets *error to a Win32 code
// on failure.
std::unique_ptr<Uart> OpenVirtualUart(const std::string& name, DWORD* error);  // uart_virtual.cpp
bool IsVirtualPortName(const std::string& name);                               // uart_virtual.cpp
bool VirtualPortPresent(const std::string& name);  // plugged in; uart_virtual.cpp
std::unique_ptr<Uart> OpenPosixUart(const std::string& name, DWORD* error);    // uart_posix.cpp
// rfc2217://HOST:PORT and tcp://HOST:PORT (network_ports.h); uart_network.cpp. A failure
// also leaves its words in LastOpenFailureText.
std::unique_ptr<Uart> OpenNetworkUart(const std::string& name, DWORD* error);

}  // namespace veltra::platform
