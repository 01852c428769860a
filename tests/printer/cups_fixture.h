// A private CUPS daemon for tests. It lives in its own directory under /tmp, listens
// only on a Unix socket there, and runs its jobs through a "capture" backend of its
// own that copies each job into a folder per queue. While it exists, this process's
// CUPS client talks to it (CUPS_SERVER) and nothing of the machine's setup leaks in
// (HOME, PRINTER, LPDEST).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace veltra::testing {

struct CupsJob {
  int id = 0;
  std::string name;
  int state = 0;  // IPP job-state: 3 pending .. 7 canceled, 8 aborted, 9 completed
};

struct CapturedJob {
  int id = 0;
  std::string title;
  std::string data;
};

// Points the CUPS client of this thread at `server`, with HOME at `home` and no
// PRINTER or LPDEST; the destructor puts everything back.
class CupsClientEnvironment {
 public:
  CupsClientEnvironment(const std::string& server, const std::string& home);
  ~CupsClientEnvironment();
  CupsClientEnvironment(const CupsClientEnvironment&) = delete;
  CupsClientEnvironment& operator=(const CupsClientEnvironment&) = delete;

 private:
  struct Saved {
    const char* name;
    bool had;
    std::string value;
  };
  std::vector<Saved> saved_;
};

class PrivateCups {
 public:
  PrivateCups();   // starts cupsd (-f, child process) and waits until it answers
  ~PrivateCups();  // stops it and removes its directory
  PrivateCups(const PrivateCups&) = delete;
  PrivateCups& operator=(const PrivateCups&) = delete;

  bool Ready() const { return ready_; }
  const std::string& Failure() const { return failure_; }
  const std::string& SocketPath() const { return socket_; }
  pid_t Pid() const { return pid_; }
  std::string ErrorLog() const;

  // A raw queue whose jobs land in Captured(name).
  bool AddRawQueue(const std::string& name);
  bool SetDefault(const std::string& name);
  // The queue stays listed but refuses new jobs.
  bool RejectJobs(const std::string& name);
  std::vector<CupsJob> Jobs();
  // True once no job is pending, held or processing.
  bool WaitUntilIdle(std::chrono::milliseconds timeout);
  // Completed jobs of `queue`, oldest first.
  std::vector<CapturedJob> Captured(const std::string& queue) const;

 private:
  bool Start();
  bool WriteConfiguration();
  bool WaitForSocket(std::chrono::milliseconds timeout);
  void Stop();

  std::string dir_;
  std::string socket_;
  pid_t pid_ = -1;
  bool ready_ = false;
  std::string failure_;
  CupsClientEnvironment* env_ = nullptr;
};

// Whether process `pid` holds a listening TCP socket (IPv4 or IPv6).
bool ListensOnTcp(pid_t pid);

}  // namespace veltra::testing
