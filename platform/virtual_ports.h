// In-process virtual serial ports: the test bed for the engine and the window, and
// the built-in loopback port a user can try the tool on without hardware.
//
// A pair is two named ends joined by a null-modem cable: TxD to RxD both ways, RTS
// to CTS, DTR to DSR and DCD, break. Each end opens by its name through CreateFileA
// like any port. Bytes are paced at the sending end's line settings (bits per
// character from data, parity and stop bits at its baud rate) unless the pair was
// made instant. Mismatched line settings give framing or parity errors at the
// receiver; flow control holds transmission and shows in the COMSTAT hold flags.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/win32_types.h"

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
  // Everything this end sends from now on stalls on the wire until Unstall.
  void StallTransmit();
  void Unstall();
  // The far device pulses RI at this end (on for `ms`, then off).
  void RingPulse(unsigned ms);
  // Forces DCD seen at this end, overriding the peer's DTR, until cleared.
  void ForceDcd(bool on);
  void ClearForcedDcd();
  // The device vanishes: every later call on an open handle fails with
  // ERROR_DEVICE_NOT_CONNECTED, and opening fails with ERROR_FILE_NOT_FOUND.
  void Unplug();

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
bool CreateVirtualPair(const std::string& a, const std::string& b,
                       VirtualPairOptions options = {});
void RemoveVirtualPair(const std::string& a);
// Control of one end by name; null when there is no such end.
std::unique_ptr<VirtualEndControl> ControlVirtualEnd(const std::string& name);
// Names of all virtual ends, the loopback first.
std::vector<std::string> VirtualPortNames();

}  // namespace veltra::platform
