// The Win32 calls the serial engine makes, with Win32's names, arguments, return
// conventions and GetLastError codes. On Windows each is a pass-through to the
// native call; on POSIX the layer implements them over kernel ttys and over the
// in-process virtual ports (virtual_ports.h).
//
// The driver contract the engine relies on (and every backend keeps):
// - an overlapped ReadFile with ReadIntervalTimeout = MAXDWORD and both read totals 0
//   completes at once with what is queued, possibly 0 bytes;
// - SetCommMask while a WaitCommEvent is pending completes that wait with mask 0;
// - a write that reaches WriteTotalTimeoutConstant completes successfully with a
//   short count;
// - PurgeComm with PURGE_TXABORT / PURGE_RXABORT ends pending writes / reads with
//   ERROR_OPERATION_ABORTED (995);
// - a request that goes pending returns FALSE with ERROR_IO_PENDING (997);
//   GetOverlappedResult without waiting on an unfinished request returns FALSE with
//   ERROR_IO_INCOMPLETE (996);
// - as on Windows, ReadFile, WriteFile and WaitCommEvent reset the request's event
//   when they start and set it when the request completes, also when it completes
//   at once.
#pragma once

#include "platform/core/win32_types.h"

namespace veltra::win {

// --- serial communications -------------------------------------------------------
HANDLE CreateFileA(const char* fileName, DWORD desiredAccess, DWORD shareMode,
                   void* securityAttributes, DWORD creationDisposition, DWORD flagsAndAttributes,
                   HANDLE templateFile);
BOOL CloseHandle(HANDLE object);
BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue);
BOOL GetCommState(HANDLE file, DCB* dcb);
BOOL SetCommState(HANDLE file, const DCB* dcb);
BOOL GetCommTimeouts(HANDLE file, COMMTIMEOUTS* timeouts);
BOOL SetCommTimeouts(HANDLE file, const COMMTIMEOUTS* timeouts);
BOOL GetCommMask(HANDLE file, DWORD* eventMask);
BOOL SetCommMask(HANDLE file, DWORD eventMask);
BOOL WaitCommEvent(HANDLE file, DWORD* eventMask, OVERLAPPED* overlapped);
BOOL ReadFile(HANDLE file, void* buffer, DWORD bytesToRead, DWORD* bytesRead,
              OVERLAPPED* overlapped);
BOOL WriteFile(HANDLE file, const void* buffer, DWORD bytesToWrite, DWORD* bytesWritten,
               OVERLAPPED* overlapped);
BOOL GetOverlappedResult(HANDLE file, OVERLAPPED* overlapped, DWORD* bytesTransferred, BOOL wait);
BOOL CancelIoEx(HANDLE file, OVERLAPPED* overlapped);
BOOL ClearCommError(HANDLE file, DWORD* errors, COMSTAT* stat);
BOOL GetCommModemStatus(HANDLE file, DWORD* modemStat);
BOOL EscapeCommFunction(HANDLE file, DWORD function);
BOOL SetCommBreak(HANDLE file);
BOOL ClearCommBreak(HANDLE file);
BOOL PurgeComm(HANDLE file, DWORD flags);

// --- synchronisation and time ----------------------------------------------------
// Only unnamed events are supported (name must be null).
HANDLE CreateEventA(void* securityAttributes, BOOL manualReset, BOOL initialState,
                    const char* name);
BOOL SetEvent(HANDLE event);
BOOL ResetEvent(HANDLE event);
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                             DWORD milliseconds);

struct CriticalSectionImpl;
// Recursive, as on Windows.
struct CRITICAL_SECTION {
  CriticalSectionImpl* impl = nullptr;
};
void InitializeCriticalSection(CRITICAL_SECTION* section);
void EnterCriticalSection(CRITICAL_SECTION* section);
void LeaveCriticalSection(CRITICAL_SECTION* section);
void DeleteCriticalSection(CRITICAL_SECTION* section);

DWORD GetTickCount();
void Sleep(DWORD milliseconds);
DWORD GetLastError();
void SetLastError(DWORD code);

// --- system ----------------------------------------------------------------------
BOOL GetVersionExA(OSVERSIONINFOA* info);

}  // namespace veltra::win
