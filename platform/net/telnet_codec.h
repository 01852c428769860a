// Telnet framing as a device server speaks it: the byte stream with IAC doubled,
// option negotiation, and subnegotiations. Pure code, no I/O: the network lower
// half feeds it what the socket gave, in pieces of any size, and sends what it
// produces.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace veltra::platform::telnet {

inline constexpr std::uint8_t kIac = 255, kDont = 254, kDo = 253, kWont = 252, kWill = 251,
                              kSb = 250, kSe = 240;
inline constexpr std::uint8_t kBinary = 0, kEcho = 1, kSuppressGoAhead = 3, kComPort = 44;

// A subnegotiation longer than this is not kept (RFC 2217 needs at most a signature).
inline constexpr std::size_t kMaxSubnegotiation = 256;

using Bytes = std::vector<std::uint8_t>;

// Splits the peer's stream into data, negotiation and subnegotiations. Every split
// of the input gives the same calls as the whole.
class Decoder {
 public:
  class Handler {
   public:
    virtual ~Handler() = default;
    // A run of data, IAC undoubled. Returning false stops Feed after this run.
    virtual bool OnData(const std::uint8_t* data, std::size_t count) = 0;
    virtual void OnNegotiation(std::uint8_t verb, std::uint8_t option) = 0;
    virtual void OnSubnegotiation(std::uint8_t option, const Bytes& payload) = 0;
    // Input that breaks the framing; decoding goes on after it.
    virtual void OnProtocolError(const std::string& what) = 0;
  };

  // Without binary mode the peer sends a lone CR as CR NUL; the NUL is dropped.
  void SetPeerBinary(bool binary) { peerBinary_ = binary; }
  // Returns how many bytes were consumed: all of them unless OnData asked to stop.
  std::size_t Feed(const std::uint8_t* data, std::size_t count, Handler& handler);

 private:
  enum class State { kData, kIac, kOption, kSbOption, kSbData, kSbIac };

  std::size_t DataRun(const std::uint8_t* data, std::size_t count, Handler& handler, bool* stop);
  void AfterIac(std::uint8_t byte, Handler& handler, bool* stop);
  void SubnegotiationByte(std::uint8_t byte, Handler& handler, bool* stop);
  void EndSubnegotiation(Handler& handler);

  State state_ = State::kData;
  bool peerBinary_ = false;
  bool afterCr_ = false;
  std::uint8_t verb_ = 0;
  std::uint8_t sbOption_ = 0;
  bool sbTooLong_ = false;
  Bytes sb_;
};

// Appends data for the peer: IAC doubled, and without binary mode a CR as CR NUL.
void EncodeData(const std::uint8_t* data, std::size_t count, bool binary, Bytes& out);
void AppendNegotiation(std::uint8_t verb, std::uint8_t option, Bytes& out);
// IAC SB option payload IAC SE, IAC doubled in the payload.
void AppendSubnegotiation(std::uint8_t option, const Bytes& payload, Bytes& out);

// Option negotiation after RFC 1143 (without its queue): each side of each option
// is off, on, or asked for and not yet answered. Refusals are answered once, so two
// parties can never loop.
class Negotiation {
 public:
  enum class State : std::uint8_t { kNo, kYes, kWantNo, kWantYes };

  // Which options this side agrees to enable locally (WILL) and on the peer (DO).
  void AcceptLocal(std::uint8_t option) { acceptLocal_[option] = true; }
  void AcceptRemote(std::uint8_t option) { acceptRemote_[option] = true; }
  // Asks to enable an option here (WILL) or at the peer (DO).
  void RequestLocal(std::uint8_t option, Bytes& out);
  void RequestRemote(std::uint8_t option, Bytes& out);
  // The peer's WILL, WONT, DO or DONT; appends the answer owed, if any.
  void Receive(std::uint8_t verb, std::uint8_t option, Bytes& out);

  State Local(std::uint8_t option) const { return local_[option]; }
  State Remote(std::uint8_t option) const { return remote_[option]; }
  bool LocalSettled(std::uint8_t option) const { return Settled(local_[option]); }
  bool RemoteSettled(std::uint8_t option) const { return Settled(remote_[option]); }

 private:
  static bool Settled(State s) { return s == State::kNo || s == State::kYes; }
  void Enable(State& state, bool accepted, std::uint8_t yes, std::uint8_t no, std::uint8_t option,
              Bytes& out);
  void Disable(State& state, std::uint8_t no, std::uint8_t option, Bytes& out);

  std::array<State, 256> local_{};
  std::array<State, 256> remote_{};
  std::array<bool, 256> acceptLocal_{};
  std::array<bool, 256> acceptRemote_{};
};

}  // namespace veltra::platform::telnet
