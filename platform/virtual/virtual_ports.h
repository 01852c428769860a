// In-process virtual serial ports: the test bed for the engine and the window, and
// the built-in loopback port a user can try the tool on without hardware.
//
// A pair is two named ends joined by a null-modem cable: TxD to RxD both ways, RTS
// to CTS, DTR to DSR and DCD, break. Each end opens by its name through CreateFileA
// like any port. Bytes are paced at the sending end's line settings (bits per
// character from data, parity and stop bits at its baud rate) unless the pair was
// made instant. Mismatched line settings give framing or parity errors at the
// receiver; flow control holds transmission and shows in the COMSTAT hold flags.
//
// Behaviour worth knowing in tests:
// - a write on an instant line that nothing holds completes inside WriteFile
//   (TRUE, event set); on a paced line, or when held, it goes pending (997);
// - the lines of a closed end are low; opening raises DTR and RTS, so the peer sees
//   CTS, DSR and DCD come up; SetCommState with DTR_CONTROL_DISABLE or
//   RTS_CONTROL_DISABLE lowers that line (as Windows does), EscapeCommFunction
//   raises it again; RTS_CONTROL_TOGGLE raises RTS only while the end is sending;
// - RTS/CTS and DSR/DTR handshake: the receiving driver drops its RTS or DTR once
//   fewer than XoffLim bytes are free in its queue, and raises it again at XonLim;
//   a sender with fOutxCtsFlow or fOutxDsrFlow holds (fCtsHold, fDsrHold) while
//   CTS or DSR is low. XON/XOFF: the receiver sends XOFF/XON (fInX); a sender with
//   fOutX holds on XOFF (fXoffHold) and does not pass XON/XOFF to its reader; a
//   receiver without fTXContinueOnXoff holds its own output after sending XOFF
//   (fXoffSent). An instant line under flow control moves 16 bytes at a time, so
//   it overshoots the limit by a FIFO or two, like a real UART;
// - a break from the sender arrives as one NUL byte with CE_BREAK and EV_BREAK;
// - the receiver samples the sender's waveform at its own rate and format, so a
//   rate mismatch gives CE_FRAME, 8N1 into 8E1 gives CE_RXPARITY for some bytes,
//   7E1 into 8N1 shows the parity bit as bit 7.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/core/win32_types.h"

namespace veltra::platform {

// Name of the built-in loopback port (TxD to RxD, RTS to CTS, DTR to DSR and DCD),
// always present.
inline constexpr const char* kLoopbackPortName = "LOOPBACK";

class VirtualEnd;  // one end of a cable; defined in the implementation

// Test control of one end: what a device at the far side, or a fault, would do.
class VirtualEndControl {
 public:
  explicit VirtualEndControl(std::shared_ptr<VirtualEnd> end);
  const std::string& Name() const;
  bool IsOpen() const;
  // The next `count` bytes that this end sends arrive at the peer with `lineError`
  // (CE_FRAME, CE_RXPARITY).
  void CorruptNextBytes(std::size_t count, win::DWORD lineError);
  // Everything this end sends from now on stalls on the wire until Unstall (the
  // driver keeps the bytes; a write time-out ends the write with a short count).
  void StallTransmit();
  void Unstall();
  // The far device pulses RI at this end (on for `ms`, then off); EV_RING comes on
  // the falling edge.
  void RingPulse(unsigned ms);
  // Forces DCD seen at this end, overriding the peer's DTR, until cleared.
  void ForceDcd(bool on);
  void ClearForcedDcd();
  // The device vanishes: every later call on an open handle fails with
  // ERROR_DEVICE_NOT_CONNECTED, and opening fails with ERROR_FILE_NOT_FOUND; the
  // peer sees this end's lines drop and what it sends is lost.
  void Unplug();
  // Plugged in again: the end can be opened anew (a handle open across the unplug
  // stays vanished and must be closed).
  void Replug();

 private:
  std::shared_ptr<VirtualEnd> end_;
};

struct VirtualPairOptions {
  // Deliver bytes at once instead of at the line's pace.
  bool instant = false;
};

// Creates the pair (a, b). Names are compared without regard to case and must not be
// in use. The pair lives until RemoveVirtualPair (or the end of the process); an end
// that is open when removed behaves as unplugged.
bool CreateVirtualPair(const std::string& a, const std::string& b, VirtualPairOptions options = {});
void RemoveVirtualPair(const std::string& a);
// Control of one end by name; null when there is no such end.
std::unique_ptr<VirtualEndControl> ControlVirtualEnd(const std::string& name);
// Names of all virtual ends, the loopback first.
std::vector<std::string> VirtualPortNames();
// What a port list shows beside an end's name (for the loopback: what it joins);
// empty when none was given. Setting it on an unknown name does nothing.
std::string VirtualPortDescription(const std::string& name);
void SetVirtualPortDescription(const std::string& name, const std::string& description);

}  // namespace veltra::platform
