// Lamps, hold states, queue bars and the RxD afterglow.
#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>

#include <algorithm>

#include "app/veltra.h"
#include "session/hold_states.h"

namespace veltra::app {

using session::TLamp;

QLabel* TVeltra::Lamp(TLamp Which) const {
  switch (Which) {
    case TLamp::CTS:
      return CTSImage;
    case TLamp::DCD:
      return DCDImage;
    case TLamp::RTS:
      return RTSImage;
    case TLamp::DSR:
      return DSRImage;
    case TLamp::RI:
      return RIImage;
    case TLamp::DTR:
      return DTRImage;
    case TLamp::TxD:
      return TxDImage;
    case TLamp::RxD:
      return RxDImage;
    case TLamp::CTSHold:
      return CTSHoldImage;
    case TLamp::DSRHold:
      return DSRHoldImage;
    case TLamp::RLSHold:
      return RLSHoldImage;
    case TLamp::XOffHold:
      return XOffHoldImage;
    case TLamp::XOnSend:
      return XOnSendImage;
  }
  return nullptr;
}

void TVeltra::SetLamp(TLamp Which, int Index) {
  QLabel* lamp = Lamp(Which);
  // Lamps are set on every port event; copying the same picture again changes nothing.
  if (LampImage(lamp) != Index) SetLampImage(lamp, Index);
}

void TVeltra::SetLamps(const session::TLampImages& Images) {
  for (int i = 0; i < session::kLampCount; ++i)
    if (Images[i] != session::kNoChange) SetLamp(static_cast<TLamp>(i), Images[i]);
}

void TVeltra::RepaintLamps() {
  // Enum order is the repaint order: CTS, DCD, RTS, DSR, RI, DTR, TxD, RxD, then holds.
  for (int i = 0; i < session::kLampCount; ++i) Lamp(static_cast<TLamp>(i))->update();
}

void TVeltra::RefreshLamps() {
  const TSerialPort& port = *SerialPort1;
  session::TLineState state;
  state.Break = port.BREAKState();
  state.CTS = port.CTSState();
  state.DSR = port.DSRState();
  state.Ring = port.RingState();
  state.RLSD = port.RLSDState();
  state.DTRBox = CBDTR->isChecked();
  state.RTSBox = CBRTS->isChecked();
  CBBreakState->setChecked(state.Break);
  SetLamps(session::LineLampImages(state));
  RepaintLamps();
}

void TVeltra::ResetLamps() {
  SetLamps(session::ResetLampImages());
  RepaintLamps();
}

void TVeltra::SetTxDLampLit() {
  SetLamp(TLamp::TxD, session::kLampBrightGreen);
  Lamp(TLamp::TxD)->update();
}

namespace {

// The bar clamps, where a plain QProgressBar would ignore a value beyond its range.
void SetQueueBar(QProgressBar* bar, Cardinal count) {
  const auto value = std::min<Cardinal>(count, static_cast<Cardinal>(std::max(bar->maximum(), 0)));
  bar->setValue(std::max(bar->minimum(), static_cast<int>(value)));
}

}  // namespace

void TVeltra::SerialPort1CommStat(TObject*) {
  Session1->CommStat();
}

void TVeltra::SerialPort2CommStat(TObject*) {
  Session2->CommStat();
}

// The session has logged the hold states already.
void TVeltra::ShowCommStat(const TSerialPort& Port, const session::THoldReport& Hold) {
  SetLamps(Hold.Images);
  SetQueueBar(ProgressTxDQueue, Port.CommStateOutQueue());
  SetQueueBar(ProgressRxDQueue, Port.CommStateInQueue());
  RepaintLamps();
}

void TVeltra::SerialPort1RIEvent(TObject*) {
  RefreshLamps();
}

void TVeltra::SerialPort1RxCharEvent(TObject*) {
  SetLamp(TLamp::RxD, session::kLampBrightGreen);
  Lamp(TLamp::RxD)->update();
  FRxActivity = true;
  FRxAfterglow = false;
}

void TVeltra::SerialPort1TxQueueEmptyEvent(TObject*) {
  SetLamp(TLamp::TxD, session::kLampDarkGreen);
  Lamp(TLamp::TxD)->update();
}

void TVeltra::Timer1Timer() {
  if (FRxAfterglow) {
    SetLamp(TLamp::RxD, session::kLampDarkGreen);
    Lamp(TLamp::RxD)->update();
    FRxActivity = false;
    FRxAfterglow = false;
  }
  if (FRxActivity) FRxAfterglow = true;
}

}  // namespace veltra::app
