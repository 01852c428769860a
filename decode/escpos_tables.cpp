// Names and status bits of ESC/POS. Source of every table here: Epson, "ESC/POS
// Command Reference" (ESC t, ESC R, ESC !, GS k, DLE EOT, GS r, GS a and the
// automatic status back it enables).
#include <array>
#include <utility>

#include "decode/escpos.h"

namespace veltra::decode::escpos {
namespace {

template <std::size_t N>
std::string Lookup(const std::array<std::pair<int, const char*>, N>& table, int n) {
  for (const auto& [key, name] : table)
    if (key == n) return name;
  return "unknown " + std::to_string(n);
}

void Add(std::string& out, std::string_view part) {
  if (!out.empty()) out += ", ";
  out += part;
}

}  // namespace

// ESC t n: character code table.
std::string CodePageName(std::uint8_t n) {
  static constexpr std::array<std::pair<int, const char*>, 49> kPages{{
      {0, "PC437 USA, Standard Europe"}, {1, "Katakana"},       {2, "PC850 Multilingual"},
      {3, "PC860 Portuguese"},          {4, "PC863 Canadian-French"}, {5, "PC865 Nordic"},
      {6, "Hiragana"},                  {7, "one-pass Kanji"},  {8, "one-pass Kanji"},
      {11, "PC851 Greek"},              {12, "PC853 Turkish"},  {13, "PC857 Turkish"},
      {14, "PC737 Greek"},              {15, "ISO 8859-7 Greek"}, {16, "WPC1252"},
      {17, "PC866 Cyrillic #2"},        {18, "PC852 Latin 2"},  {19, "PC858 Euro"},
      {20, "Thai 42"},                  {21, "Thai 11"},        {22, "Thai 13"},
      {23, "Thai 14"},                  {24, "Thai 16"},        {25, "Thai 17"},
      {26, "Thai 18"},                  {30, "TCVN-3"},         {31, "TCVN-3"},
      {32, "PC720 Arabic"},             {33, "WPC775 Baltic Rim"}, {34, "PC855 Cyrillic"},
      {35, "PC861 Icelandic"},          {36, "PC862 Hebrew"},   {37, "PC864 Arabic"},
      {38, "PC869 Greek"},              {39, "ISO 8859-2 Latin 2"}, {40, "ISO 8859-15 Latin 9"},
      {41, "PC1098 Farsi"},             {42, "PC1118 Lithuanian"}, {43, "PC1119 Lithuanian"},
      {44, "PC1125 Ukrainian"},         {45, "WPC1250 Latin 2"}, {46, "WPC1251 Cyrillic"},
      {47, "WPC1253 Greek"},            {48, "WPC1254 Turkish"}, {49, "WPC1255 Hebrew"},
      {50, "WPC1256 Arabic"},           {51, "WPC1257 Baltic Rim"}, {52, "WPC1258 Vietnamese"},
      {255, "user-defined page"},
  }};
  return Lookup(kPages, n);
}

// ESC R n: international character set.
std::string InternationalSetName(std::uint8_t n) {
  static constexpr std::array<std::pair<int, const char*>, 18> kSets{{
      {0, "USA"},        {1, "France"},        {2, "Germany"},      {3, "UK"},
      {4, "Denmark I"},  {5, "Sweden"},        {6, "Italy"},        {7, "Spain I"},
      {8, "Japan"},      {9, "Norway"},        {10, "Denmark II"},  {11, "Spain II"},
      {12, "Latin America"}, {13, "Korea"},    {14, "Slovenia/Croatia"}, {15, "China"},
      {16, "Vietnam"},   {17, "Arabia"},
  }};
  return Lookup(kSets, n);
}

// GS k m: barcode system, both forms (m 0-6 ended by NUL, m 65- with a length).
std::string BarcodeSystemName(std::uint8_t m) {
  static constexpr std::array<std::pair<int, const char*>, 22> kSystems{{
      {0, "UPC-A"},  {1, "UPC-E"},   {2, "EAN-13"},  {3, "EAN-8"},    {4, "CODE39"},
      {5, "ITF"},    {6, "CODABAR"}, {65, "UPC-A"},  {66, "UPC-E"},   {67, "EAN-13"},
      {68, "EAN-8"}, {69, "CODE39"}, {70, "ITF"},    {71, "CODABAR"}, {72, "CODE93"},
      {73, "CODE128"}, {74, "GS1-128"}, {75, "GS1 DataBar Omnidirectional"},
      {76, "GS1 DataBar Truncated"}, {77, "GS1 DataBar Limited"},
      {78, "GS1 DataBar Expanded"},   {79, "CODE128 auto"},
  }};
  return Lookup(kSystems, m);
}

// ESC ! n: bit 0 font B, 3 emphasised, 4 double height, 5 double width, 7 underline.
std::string PrintModeText(std::uint8_t n) {
  std::string out = n & 0x01 ? "font B" : "font A";
  if (n & 0x08) Add(out, "emphasised");
  if (n & 0x10) Add(out, "double height");
  if (n & 0x20) Add(out, "double width");
  if (n & 0x80) Add(out, "underline");
  return out;
}

std::string StatusText(Ask ask, std::uint8_t b) {
  std::string out;
  auto bit = [b](int i) { return (b >> i) & 1; };
  switch (ask) {
    case Ask::PrinterStatus:
      out = bit(3) ? "offline" : "online";
      Add(out, bit(2) ? "drawer pin 3 high" : "drawer pin 3 low");
      if (bit(5)) Add(out, "waiting for online recovery");
      if (bit(6)) Add(out, "paper feed button pressed");
      return "printer status: " + out;
    case Ask::OfflineCause:
      out = bit(2) ? "cover open" : "cover closed";
      if (bit(3)) Add(out, "paper fed by the button");
      if (bit(5)) Add(out, "stopped by paper end");
      if (bit(6)) Add(out, "error");
      return "offline cause: " + out;
    case Ask::ErrorCause:
      if (bit(2)) Add(out, "mechanical error");
      if (bit(3)) Add(out, "autocutter error");
      if (bit(5)) Add(out, "unrecoverable error");
      if (bit(6)) Add(out, "automatically recoverable error");
      return "error cause: " + (out.empty() ? std::string("none") : out);
    case Ask::RollPaper:
      out = (b & 0x0C) ? "paper near end" : "paper adequate";
      Add(out, (b & 0x60) ? "paper end" : "paper present");
      return "roll paper sensor: " + out;
    case Ask::PaperSensor:
      out = (b & 0x03) ? "paper near end" : "paper adequate";
      Add(out, (b & 0x0C) ? "paper end" : "paper present");
      return "paper sensor: " + out;
    case Ask::Drawer:
      return std::string("drawer: pin 3 ") + (bit(0) ? "high" : "low");
    case Ask::Ink:
      out = bit(0) ? "ink near end" : "ink adequate";
      if (bit(1)) Add(out, "second ink near end");
      return "ink: " + out;
    case Ask::IdByte:
      return "printer ID " + std::to_string(b);
    case Ask::IdBlock:
      break;
  }
  return "status " + std::to_string(b);
}

// Four bytes the printer sends by itself once GS a enabled them.
std::string AutomaticStatusText(std::string_view four) {
  const auto b = [four](int i) { return static_cast<std::uint8_t>(four[i]); };
  std::string out = b(0) & 0x08 ? "offline" : "online";
  Add(out, b(0) & 0x04 ? "drawer pin 3 high" : "drawer pin 3 low");
  if (b(0) & 0x20) Add(out, "cover open");
  if (b(0) & 0x40) Add(out, "paper fed by the button");
  if (b(1) & 0x04) Add(out, "mechanical error");
  if (b(1) & 0x08) Add(out, "autocutter error");
  if (b(1) & 0x20) Add(out, "unrecoverable error");
  if (b(1) & 0x40) Add(out, "automatically recoverable error");
  if (b(2) & 0x03) Add(out, "paper near end");
  if (b(2) & 0x0C) Add(out, "paper end");
  return "automatic status: " + out;
}

}  // namespace veltra::decode::escpos
