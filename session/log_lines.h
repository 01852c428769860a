// The log lines of both panes: entry headers and the texts that follow them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

namespace veltra::session {

// Entry prefixes, blanks counted: each port's twin differs only in the digit.
struct TPortPrefixes {
  const char* Rec;     // received block, no line errors
  const char* RecX;    // received block with line errors
  const char* Snd;     // data handed to this port
  const char* Msg;     // event character line of the traffic pane
  const char* ErrMsg;  // error pane entries
};
inline constexpr TPortPrefixes kPort1Prefixes{"P1:Rec  ", "P1:RecX ", "P1:Snd ", "P1:Msg ",
                                              "P1:Msg  "};
inline constexpr TPortPrefixes kPort2Prefixes{"P2:Rec  ", "P2:RecX ", "P2:Snd ", "P2:Msg ",
                                              "P2:Msg  "};

// "dd.mm.yy hh:mm:ss" of a broken-down local time.
std::string FormatStamp(const std::tm& local);
// The local time now, broken down.
std::tm LocalNow();

// prefix + stamp + " :".
std::string LogHeader(std::string_view prefix, const std::tm& local);

// Appends `entry` as log lines, each ended by '\n'; a line break inside it (CR LF,
// LF or CR) continues on a new line, as in the panes. Returns the number of lines.
std::size_t AppendEntryLines(std::string_view entry, std::string& out);

// "Code %d at %d Text: %s" filled with code, place and message.
std::string ErrorReportText(std::uint32_t code, std::uint32_t place, std::string_view msg);
// "ComEvent" and the modem state, no blank between.
std::string ComEventText(std::uint32_t modemState);
inline constexpr const char* kRingEventText = "RingEvent";
inline constexpr const char* kEventCharText = " RxEventCharEvent occours";

}  // namespace veltra::session
