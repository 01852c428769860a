// The places of the error reports: where in the port's life a report comes from.
// Every report (place, code, message, noise) reaches OnProcessError; the panes and
// veltra-cli show it as "Code <code> at <place> Text: <message>".
//
// Places are not unique. Some numbers stand for two steps (100, 101, 102, 501, 502,
// 802, 9907); the message text tells those apart. They keep their numbers: logs
// that technicians have saved, the README and the tests name them. Each step has
// its own name here, so code never compares against a number that means two things
// without saying which one it means.
#pragma once

#include <cstdint>

namespace veltra::engine::places {

using TPlace = std::uint32_t;

// --- setters, closing and opening (TSerialPort) ------------------------------------
inline constexpr TPlace kLimitAbove100 = 100;  // XOn/XOff limit stored as 100 (warning)
inline constexpr TPlace kDeactivating = 100;   // "Msg start deactivating Port"
inline constexpr TPlace kSetRxQueueSize = 101;
inline constexpr TPlace kDisableEvents = 101;  // closing: SetCommMask(0)
inline constexpr TPlace kSetTxQueueSize = 102;
inline constexpr TPlace kClearQueues = 102;  // closing: PurgeComm
inline constexpr TPlace kClosePort = 103;
inline constexpr TPlace kThreadRunning = 104;  // closing while the worker is busy (warning)
inline constexpr TPlace kReactivating = 110;   // "Msg start reactivating Port"
inline constexpr TPlace kSetupQueues = 111;
inline constexpr TPlace kReopenPort = 112;       // the open failed; the code is the system error
inline constexpr TPlace kOpenFailureText = 113;  // the open failure in the technician's words
inline constexpr TPlace kDeviceRemoved = 120;
inline constexpr TPlace kDeviceReturned = 121;
inline constexpr TPlace kPortNotice = 130;  // a network server's word about the line
inline constexpr TPlace kEnableEvents = 201;

// --- settings persistence and control lines ----------------------------------------
inline constexpr TPlace kSettingsRead = 401;
inline constexpr TPlace kSettingsReadFailed = 402;
inline constexpr TPlace kSettingsSaved = 501;
inline constexpr TPlace kSettingsSaveFailed = 502;
inline constexpr TPlace kSetRts = 501;
inline constexpr TPlace kClearRts = 502;
inline constexpr TPlace kSetDtr = 601;
inline constexpr TPlace kClearDtr = 602;
inline constexpr TPlace kSetBreak = 701;
inline constexpr TPlace kClearBreak = 702;

// --- line settings (ApplyCommState) ------------------------------------------------
inline constexpr TPlace kGetCommState = 801;
inline constexpr TPlace kSetTimeouts = 802;
inline constexpr TPlace kSetCommState = 802;

// --- sending ---------------------------------------------------------------------------
inline constexpr TPlace kSendWhileBusy = 901;  // a write is in flight: the send is refused
inline constexpr TPlace kSetWriteTimeouts = 902;
inline constexpr TPlace kWriteFailed = 903;  // the write did not start: no OnWriteDone follows

// --- overlapped events -------------------------------------------------------------------
inline constexpr TPlace kCreateEvent = 1001;
inline constexpr TPlace kEventExists = 1002;
inline constexpr TPlace kResetEvent = 1101;  // resetting or setting one

// --- the worker thread ---------------------------------------------------------------------
inline constexpr TPlace kWriteTimeout = 9701;  // a write ended short or stalled
inline constexpr TPlace kWriteResult = 9702;
inline constexpr TPlace kClearCommError = 9803;
inline constexpr TPlace kReadData = 9804;
inline constexpr TPlace kHandlerFault = 9900;  // an exception ended the worker
inline constexpr TPlace kModemStatus = 9905;
inline constexpr TPlace kWaitCommEvent = 9907;
inline constexpr TPlace kReadAborted = 9907;
inline constexpr TPlace kReadResult = 9908;
inline constexpr TPlace kWaitBoth = 9911;
inline constexpr TPlace kWaitRead = 9912;
inline constexpr TPlace kWaitStatus = 9913;
inline constexpr TPlace kHandlersBehind = 9920;  // received blocks wait for their handlers
inline constexpr TPlace kBacklogFull = 9921;     // RxBacklogLimit held reading up

// --- the front ends' own reports, through the same road ---------------------------------
inline constexpr TPlace kHoldState = 0;   // the hold states, one sentence each
inline constexpr TPlace kShortWrite = 1;  // "P1:Not all Bytes send"
inline constexpr TPlace kStartProblem = 2;  // "Start" was given a name that is no usable port

}  // namespace veltra::engine::places
