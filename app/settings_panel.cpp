// The "Settings" page: a view of the two ports. It is filled from the components
// and applied to them by "Start"; Load/Save Settings go through the components.
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>

#include <algorithm>
#include <array>
#include <cctype>
#include <limits>

#include "app/veltra.h"
#include "engine/comm_port_list.h"
#include "platform/discovery/port_presence.h"
#include "session/char_code.h"
#include "session/port_settings.h"

namespace veltra::app {

namespace {

using session::CharCodeToText;
using session::EConvertError;
using session::FlowControlCodes;
using session::kSettingsKey;
using session::RangeErrorText;
using session::StrToIntInRange;
using session::TextToCharCode;

std::string Latin1(const QString& text) {
  return text.toLatin1().toStdString();
}

std::string Text(const QLineEdit* edit) {
  return Latin1(edit->text());
}

// TextToCharCode over an edit; a single character beyond Latin-1 is out of range
// rather than silently becoming "?".
Byte CharCodeFromEdit(const QLineEdit* edit, Byte previous) {
  const QString text = edit->text();
  if (text.size() == 1 && text.at(0).unicode() > 0xFF)
    throw EConvertError(RangeErrorText(text.at(0).unicode(), 0, 255));
  return TextToCharCode(Latin1(text), previous);
}

// Runs the conversion of one edit's text. Its error names the field and leaves the
// caret there: "Start" reads a dozen edits, and the message alone does not say which.
template <typename Convert>
auto FromField(QLineEdit* edit, const char* field, Convert convert) {
  try {
    return convert();
  } catch (const EConvertError& error) {
    edit->setFocus();
    edit->selectAll();
    throw EConvertError(std::string(field) + ": " + error.what());
  }
}

std::int64_t IntField(QLineEdit* edit, const char* field, std::int64_t max) {
  return FromField(edit, field, [&] { return StrToIntInRange(Text(edit), 0, max); });
}

Byte CharField(QLineEdit* edit, const char* field, Byte previous) {
  return FromField(edit, field, [&] { return CharCodeFromEdit(edit, previous); });
}

void SelectIndex(QComboBox* list, int index) {
  list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
}

}  // namespace

TVeltra::TPortLists TVeltra::Port1Lists() const {
  return {CBPort, CBBaud, CBData, CBStop, CBParity, CBFlow};
}

TVeltra::TPortLists TVeltra::Port2Lists() const {
  return {CBPort1, CBBaud1, CBData1, CBStop1, CBParity1, CBFlow1};
}

void TVeltra::FillPortLists(const TPortLists& Lists, const TSerialPort& Port) {
  const int baud = Lists.Baud->findText(QString::number(Port.BaudRate()));
  Lists.Baud->setCurrentIndex(baud >= 0 ? baud : 6);
  const int data = Lists.Data->findText(QStringLiteral("%1 Bit").arg(Port.DataBits()));
  Lists.Data->setCurrentIndex(data >= 0 ? data : 4);
  SelectIndex(Lists.Stop, Port.StopBits());
  SelectIndex(Lists.Parity, Port.ParityType());
  const auto flow = std::find(FlowControlCodes.begin(), FlowControlCodes.end(), Port.FlowControl());
  Lists.Flow->setCurrentIndex(
      flow != FlowControlCodes.end() ? static_cast<int>(flow - FlowControlCodes.begin()) : 0);
}

void TVeltra::FillSharedControls(const TSerialPort& Port) {
  WTOCharDelayEdit->setText(QString::number(Port.WTOCharDelayTime()));
  RTOCharDelayEdit->setText(QString::number(Port.RTOCharDelayTime()));
  WTOExtraDelayEdit->setText(QString::number(Port.WTOExtraDelayTime()));
  RTOExtraDelayEdit->setText(QString::number(Port.RTOExtraDelayTime()));
  CBXTOAuto->setChecked(Port.XTOAuto());
  XOnCharEdit->setText(QString::fromLatin1(CharCodeToText(Port.XONChar())));
  XOffCharEdit->setText(QString::fromLatin1(CharCodeToText(Port.XOFFChar())));
  XOnLimitEdit->setText(QString::number(Port.XONLimDiv()));
  XOffLimitEdit->setText(QString::number(Port.XOFFLimDiv()));
  CBParityErrorReplacement->setChecked(Port.ParityErrorReplacement());
  ParityErrorCharEdit->setText(QString::fromLatin1(CharCodeToText(Port.ParityErrorChar())));
  EventCharEdit->setText(QString::fromLatin1(CharCodeToText(Port.EventChar())));
  CBStripNullChars->setChecked(Port.StripNullChars());
  CBReport->setCurrentIndex(std::min<int>(Port.ErrorNoise(), CBReport->count() - 1));
}

bool TVeltra::ApplyPanel(const TPortLists& Lists, TSerialPort& Port, std::string* Problem) {
  const std::string name = PortNameToApply(Lists.Port);
  if (name.empty()) return false;
  // Checked, not refused: the device may be plugged in before the port is opened.
  *Problem = platform::PortNameProblem(name);
  Port.SetCommPort(name);
  Cardinal baud = 9600;
  try {
    baud = static_cast<Cardinal>(StrToIntInRange(Latin1(Lists.Baud->currentText()), 0,
                                                 std::numeric_limits<std::int32_t>::max()));
  } catch (const EConvertError&) {
    // Not a number: the usual rate.
  }
  Port.SetBaudRate(baud);
  const QString data = Lists.Data->currentText();
  Port.SetDataBits(!data.isEmpty() && data.at(0).isDigit()
                       ? static_cast<Byte>(data.at(0).digitValue())
                       : Byte{8});
  // A list left without selection keeps the port's value instead of writing -1.
  if (Lists.Stop->currentIndex() >= 0)
    Port.SetStopBits(static_cast<Byte>(Lists.Stop->currentIndex()));
  if (Lists.Parity->currentIndex() >= 0)
    Port.SetParityType(static_cast<Byte>(Lists.Parity->currentIndex()));
  if (Lists.Flow->currentIndex() >= 0)
    Port.SetFlowControl(FlowControlCodes[static_cast<std::size_t>(Lists.Flow->currentIndex())]);
  ApplySharedControls(Port);
  return true;
}

// In the fixed order: a bad value stops here with everything before it assigned.
void TVeltra::ApplySharedControls(TSerialPort& Port) {
  constexpr std::int64_t kCardinalMax = std::numeric_limits<std::int32_t>::max();
  Port.SetXTOAuto(CBXTOAuto->isChecked());
  if (!CBXTOAuto->isChecked()) {
    Port.SetWTOCharDelayTime(
        static_cast<Cardinal>(IntField(WTOCharDelayEdit, "Sending Char (µs)", kCardinalMax)));
    Port.SetRTOCharDelayTime(
        static_cast<Cardinal>(IntField(RTOCharDelayEdit, "Receiving Char (µs)", kCardinalMax)));
    Port.SetWTOExtraDelayTime(
        static_cast<Word>(IntField(WTOExtraDelayEdit, "Sending Extra (ms)", 65535)));
    Port.SetRTOExtraDelayTime(
        static_cast<Word>(IntField(RTOExtraDelayEdit, "Receiving Extra (ms)", 65535)));
  }
  Port.SetXONChar(CharField(XOnCharEdit, "XOn Char", Port.XONChar()));
  Port.SetXOFFChar(CharField(XOffCharEdit, "XOff Char", Port.XOFFChar()));
  Port.SetXONLimDiv(static_cast<Byte>(IntField(XOnLimitEdit, "XOn Limit (%)", 255)));
  Port.SetXOFFLimDiv(static_cast<Byte>(IntField(XOffLimitEdit, "XOff Limit (%)", 255)));
  Port.SetParityErrorReplacement(CBParityErrorReplacement->isChecked());
  Port.SetParityErrorChar(
      CharField(ParityErrorCharEdit, "Parity Error Replacement Char", Port.ParityErrorChar()));
  Port.SetEventChar(CharField(EventCharEdit, "Eventchar", Port.EventChar()));
  Port.SetStripNullChars(CBStripNullChars->isChecked());
  if (CBReport->currentIndex() >= 0)
    Port.SetErrorNoise(static_cast<Byte>(CBReport->currentIndex()));
}

void TVeltra::CBPortChange() {
  FillPortLists(Port1Lists(), *SerialPort1);
  FillSharedControls(*SerialPort1);
}

void TVeltra::CBPort1Exit() {
  FillPortLists(Port2Lists(), *SerialPort2);
  FillSharedControls(*SerialPort2);
}

void TVeltra::EventCharEditExit() {
  const QString text = EventCharEdit->text();
  bool valid = text.size() == 1;
  if (text.size() >= 2) {
    try {
      TextToCharCode(Latin1(text), 0);
      valid = true;
    } catch (const EConvertError&) {
    }
  }
  if (!valid)
    Dialogs().MessageBox(
        this, QStringLiteral("Invalid Input"),
        QStringLiteral("Input allowed single Char or 0..255. Leave empty to hold previous Value."),
        TBoxKind::Warning);
}

void TVeltra::JvHTButton3Click() {
  SerialPort1->ReadSettings(kSettingsKey, session::kPort1Section);
  SerialPort2->ReadSettings(kSettingsKey, session::kPort2Section);
  RestoreLastPorts();
  FormCreate();
}

void TVeltra::JvHTButton4Click() {
  SerialPort1->WriteSettings(kSettingsKey, session::kPort1Section);
  SerialPort2->WriteSettings(kSettingsKey, session::kPort2Section);
  FStoredPort1 = SerialPort1->CommPort();
  FStoredPort2 = SerialPort2->CommPort();
}

}  // namespace veltra::app
