// A private ser2net for tests and benchmarks, in front of one tty (a pty slave):
// an RFC 2217 port and a raw TCP port, both on 127.0.0.1 and nowhere else, with
// its configuration, pid file and output in a directory of its own under /tmp.
#pragma once

#include <sys/types.h>

#include <string>

namespace veltra::test {

class PrivateSer2net {
 public:
  // `options` are extra lines for both connections' options (YAML, 4 spaces in).
  // `termiosProbe`, when not empty, is preloaded into ser2net to log its termios.
  PrivateSer2net(const std::string& device, const std::string& options = "",
                 const std::string& termiosProbe = "");
  ~PrivateSer2net();
  PrivateSer2net(const PrivateSer2net&) = delete;
  PrivateSer2net& operator=(const PrivateSer2net&) = delete;

  bool Ready() const { return ready_; }
  const std::string& Failure() const { return failure_; }
  std::string Rfc2217Name() const { return "rfc2217://127.0.0.1:" + std::to_string(telnetPort_); }
  std::string TcpName() const { return "tcp://127.0.0.1:" + std::to_string(rawPort_); }
  // Ends it at once, as a crash or a pulled network cable would.
  void Kill();
  // Every listening socket of it is on 127.0.0.1.
  bool ListensOnlyOnLoopback() const;
  // The last termios it gave a tty: "c_cflag(hex) speed", from the probe's log.
  std::string LastTermios() const;

 private:
  bool Start(const std::string& device, const std::string& options, const std::string& probe);
  bool WaitForListening();

  std::string dir_;
  int telnetPort_ = 0;
  int rawPort_ = 0;
  pid_t pid_ = -1;
  bool ready_ = false;
  std::string failure_;
};

}  // namespace veltra::test
