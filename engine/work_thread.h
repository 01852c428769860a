// TWorkThread: the worker of one TSerialPort. Idle while the port is closed, it
// looks at Active every 200 ms; while the port is open it runs a cycle that never
// waits more than 75 ms: line status, write completion, receive clusters, one
// WaitCommEvent kept outstanding, and the events that follow, each raised on the
// owner's thread while the worker waits.
#pragma once

#include <atomic>
#include <thread>

namespace veltra::engine {

class TSerialPort;

class TWorkThread {
 public:
  // Starts the thread at once.
  explicit TWorkThread(TSerialPort& Owner);
  // Waits for the thread to end (Terminate first, and close the port).
  ~TWorkThread();
  TWorkThread(const TWorkThread&) = delete;
  TWorkThread& operator=(const TWorkThread&) = delete;

  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  // True once Execute has returned.
  bool Finished() const { return FFinished; }

 private:
  void Execute();

  TSerialPort& Owner;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
  std::thread FThread;
};

}  // namespace veltra::engine
