// Opens the far end of a virtual cable as a device would: 8N1 at `baud`, reads that
// return at once with what is there, writes with no time-out.
#pragma once

#include <string>

#include "platform/core/comm_api.h"

namespace veltra::testing {

inline win::HANDLE OpenFarEnd(const std::string& name, win::DWORD baud) {
  win::HANDLE handle = win::CreateFileA(name.c_str(), win::GENERIC_READ | win::GENERIC_WRITE, 0,
                                        nullptr, win::OPEN_EXISTING, 0, 0);
  win::DCB dcb;
  win::GetCommState(handle, &dcb);
  dcb.BaudRate = baud;
  dcb.ByteSize = 8;
  dcb.Parity = win::NOPARITY;
  dcb.StopBits = win::ONESTOPBIT;
  win::SetCommState(handle, &dcb);
  win::COMMTIMEOUTS timeouts{};  // every field set: a stray write time-out would cut writes short
  timeouts.ReadIntervalTimeout = win::MAXDWORD;
  win::SetCommTimeouts(handle, &timeouts);
  return handle;
}

}  // namespace veltra::testing
