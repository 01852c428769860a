#include "session/hold_states.h"

namespace veltra::session {

const std::array<THoldState, 7> kHoldStates{{
    {0, true, TLamp::CTSHold,
     "Transmission is waiting for the CTS (clear-to-send) signal to be sent."},
    {1, true, TLamp::DSRHold,
     "Transmission is waiting for the DSR (data-set-ready) signal to be sent."},
    {2, true, TLamp::RLSHold,
     "Transmission is waiting for the RLSD (receive-line-signal-detect) signal."},
    {3, true, TLamp::XOffHold, "Transmission is waiting because the XOFF character was received."},
    {4, true, TLamp::XOnSend,
     "Transmission is waiting because the XOFF character was transmitted."},
    {5, false, TLamp::CTS, "The end-of-file (EOF) character has been received."},
    {6, false, TLamp::CTS,
     "There is a character queued for transmission that has come to the communications device by "
     "way of the TransmitCommChar function."},
}};

namespace {
TLampImages Unchanged() {
  TLampImages images{};
  images.fill(kNoChange);
  return images;
}
int OnOff(bool on) {
  return on ? kLampBrightRed : kLampBrightGreen;
}
}  // namespace

THoldReport HoldReport(std::uint8_t flags) {
  THoldReport report{Unchanged(), {}};
  for (const THoldState& h : kHoldStates) {
    const bool set = (flags >> h.Bit) & 1u;
    if (h.HasLamp) At(report.Images, h.Lamp) = OnOff(set);
    if (set) {
      report.Text += h.Text;
      report.Text += "\r\n";
    }
  }
  return report;
}

TLampImages LineLampImages(const TLineState& s) {
  TLampImages images = Unchanged();
  At(images, TLamp::TxD) = s.Break ? kLampBrightRed : kLampDarkGreen;
  At(images, TLamp::CTS) = OnOff(s.CTS);
  At(images, TLamp::DSR) = OnOff(s.DSR);
  At(images, TLamp::RI) = OnOff(s.Ring);
  At(images, TLamp::DCD) = OnOff(s.RLSD);
  At(images, TLamp::RxD) = kLampDarkGreen;
  At(images, TLamp::DTR) = OnOff(s.DTRBox);
  At(images, TLamp::RTS) = OnOff(s.RTSBox);
  return images;
}

TLampImages ResetLampImages() {
  TLampImages images = Unchanged();
  for (TLamp lamp : {TLamp::CTS, TLamp::RTS, TLamp::DSR, TLamp::RI, TLamp::DTR, TLamp::DCD})
    At(images, lamp) = kLampEmpty;
  At(images, TLamp::TxD) = kLampDarkGreen;
  At(images, TLamp::RxD) = kLampDarkGreen;
  for (TLamp lamp :
       {TLamp::CTSHold, TLamp::DSRHold, TLamp::RLSHold, TLamp::XOffHold, TLamp::XOnSend})
    At(images, lamp) = kLampBrightGreen;
  return images;
}

}  // namespace veltra::session
