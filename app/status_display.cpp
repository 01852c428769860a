// Lamps, hold states, queue bars and the RxD afterglow.
#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>

#include <algorithm>

#include "app/logic/hold_states.h"
#include "app/veltra.h"

namespace veltra::app {

using logic::TLamp;

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

void TVeltra::SetLamps(const logic::TLampImages& Images) {
  for (int i = 0; i < logic::kLampCount; ++i)
    if (Images[i] != logic::kNoChange) SetLamp(static_cast<TLamp>(i), Images[i]);
}

void TVeltra::RepaintLamps() {
  // Enum order is the repaint order: CTS, DCD, RTS, DSR, RI, DTR, TxD, RxD, then holds.
  for (int i = 0; i < logic::kLampCount; ++i) Lamp(static_cast<TLamp>(i))->update();
}

void TVeltra::RefreshLamps() {
  const TSerialPort& port = *SerialPort1;
  logic::TLineState state;
  state.Break = port.BREAKState();
  state.CTS = port.CTSState();
  state.DSR = port.DSRState();
  state.Ring = port.RingState();
  state.RLSD = port.RLSDState();
  state.DTRBox = CBDTR->isChecked();
  state.RTSBox = CBRTS->isChecked();
  CBBreakState->setChecked(state.Break);
  SetLamps(logic::LineLampImages(state));
  RepaintLamps();
}

void TVeltra::ResetLamps() {
  SetLamps(logic::ResetLampImages());
  RepaintLamps();
}

void TVeltra::SetTxDLampLit() {
  SetLamp(TLamp::TxD, logic::kLampBrightGreen);
  Lamp(TLamp::TxD)->update();
}

namespace {

// The bar clamps, where a plain QProgressBar would ignore a value beyond its range.
void SetQueueBar(QProgressBar* bar, Cardinal count) {
  const auto value = std::min<Cardinal>(count, static_cast<Cardinal>(std::max(bar->maximum(), 0)));
  bar->setValue(std::max(bar->minimum(), static_cast<int>(value)));
}

}  // namespace

void TVeltra::CommStat(TSerialPort& Port, TErrorHandler Report) {
  const logic::THoldReport hold = logic::HoldReport(Port.CommStateFlags());
  SetLamps(hold.Images);
  if (!hold.Text.empty()) (this->*Report)(&Port, 0, 0, hold.Text, 0);
  SetQueueBar(ProgressTxDQueue, Port.CommStateOutQueue());
  SetQueueBar(ProgressRxDQueue, Port.CommStateInQueue());
  RepaintLamps();
}

void TVeltra::SerialPort1CommStat(TObject*) {
  CommStat(*SerialPort1, &TVeltra::SerialPort1ProcessError);
}

void TVeltra::SerialPort2CommStat(TObject*) {
  CommStat(*SerialPort2, &TVeltra::SerialPort2ProcessError);
}

void TVeltra::SerialPort1RIEvent(TObject*) {
  RefreshLamps();
}

void TVeltra::SerialPort1RxCharEvent(TObject*) {
  SetLamp(TLamp::RxD, logic::kLampBrightGreen);
  Lamp(TLamp::RxD)->update();
  FRxActivity = true;
  FRxAfterglow = false;
}

void TVeltra::SerialPort1TxQueueEmptyEvent(TObject*) {
  SetLamp(TLamp::TxD, logic::kLampDarkGreen);
  Lamp(TLamp::TxD)->update();
}

void TVeltra::Timer1Timer() {
  if (FRxAfterglow) {
    SetLamp(TLamp::RxD, logic::kLampDarkGreen);
    Lamp(TLamp::RxD)->update();
    FRxActivity = false;
    FRxAfterglow = false;
  }
  if (FRxActivity) FRxAfterglow = true;
}

}  // namespace veltra::app
