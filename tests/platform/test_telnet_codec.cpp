// The Telnet and COM-PORT-OPTION codec on its own: framing across every buffer
// split, malformed input, negotiation that cannot loop, and the RFC 2217 values.
#include <gtest/gtest.h>

#include <string>

#include "platform/net/rfc2217_codec.h"
#include "platform/net/telnet_codec.h"

namespace veltra::test {
namespace {

using namespace platform::telnet;
using namespace std::string_literals;
namespace rfc = platform::rfc2217;

Bytes B(std::initializer_list<int> values) {
  Bytes out;
  for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
  return out;
}

// Writes every call into one log line, so two decodings compare as text.
class Log : public Decoder::Handler {
 public:
  bool OnData(const std::uint8_t* data, std::size_t count) override {
    data_.append(reinterpret_cast<const char*>(data), count);
    return stopAfter_ < 0 || static_cast<int>(data_.size()) < stopAfter_;
  }
  void OnNegotiation(std::uint8_t verb, std::uint8_t option) override {
    Flush();
    text += "N" + std::to_string(verb) + "/" + std::to_string(option) + " ";
  }
  void OnSubnegotiation(std::uint8_t option, const Bytes& payload) override {
    Flush();
    text += "S" + std::to_string(option) + ":" + std::string(payload.begin(), payload.end()) + " ";
  }
  void OnProtocolError(const std::string& what) override {
    Flush();
    text += "E(" + what + ") ";
  }
  std::string Done() {
    Flush();
    return text;
  }
  void StopAfter(int bytes) { stopAfter_ = bytes; }
  std::string text;

 private:
  void Flush() {
    if (!data_.empty()) text += "D:" + data_ + " ";
    data_.clear();
  }
  std::string data_;
  int stopAfter_ = -1;
};

std::string Decode(const Bytes& stream, std::size_t pieceSize, bool binary = true) {
  Decoder decoder;
  decoder.SetPeerBinary(binary);
  Log log;
  for (std::size_t i = 0; i < stream.size(); i += pieceSize) {
    const std::size_t n = std::min(pieceSize, stream.size() - i);
    EXPECT_EQ(decoder.Feed(stream.data() + i, n, log), n);
  }
  return log.Done();
}

TEST(TelnetCodec, EverySplitOfTheStreamDecodesAlike) {
  Bytes stream = B({'a', kIac, kIac, 'b', kIac, kWill, kBinary, kIac, 241 /*NOP*/, 'c'});
  Bytes sb;
  AppendSubnegotiation(kComPort, B({101, 0, 0, kIac, 0}), sb);  // a baud rate holding 0xFF
  stream.insert(stream.end(), sb.begin(), sb.end());
  stream.insert(stream.end(), {'d', kIac, kIac});
  const std::string whole = Decode(stream, stream.size());
  EXPECT_EQ(whole,
            "D:a\xFF"
            "b N251/0 D:c S44:e\x00\x00\xFF\x00 D:d\xFF "s);
  for (std::size_t piece = 1; piece < stream.size(); ++piece)
    EXPECT_EQ(Decode(stream, piece), whole) << "pieces of " << piece;
}

TEST(TelnetCodec, MalformedInputIsReportedAndDecodingGoesOn) {
  Bytes longSb = B({kIac, kSb, kComPort});
  longSb.insert(longSb.end(), kMaxSubnegotiation + 1, 'x');
  longSb.insert(longSb.end(), {kIac, kSe, 'o', 'k'});
  EXPECT_EQ(Decode(longSb, 7), "E(subnegotiation of option 44 longer than 256 bytes) D:ok ");
  // A subnegotiation cut short by another command: dropped, the command kept.
  EXPECT_EQ(Decode(B({kIac, kSb, kComPort, 101, 0, kIac, kDo, kEcho, 'z'}), 1),
            "E(subnegotiation of option 44 cut short by IAC 253) N253/1 D:z ");
  EXPECT_EQ(Decode(B({kIac, kSe, kIac, 'q', kIac, kSb, kIac, 241, 'y'}), 3),
            "E(IAC SE outside a subnegotiation) E(IAC followed by data byte 113) "
            "E(empty subnegotiation) D:y ");
}

TEST(TelnetCodec, StopsWhereTheHandlerAsksAndResumesThere) {
  const Bytes stream = B({'1', '2', kIac, kIac, '3', kIac, kDo, kBinary, '4'});
  Decoder decoder;
  decoder.SetPeerBinary(true);
  Log log;
  log.StopAfter(2);
  const std::size_t used = decoder.Feed(stream.data(), stream.size(), log);
  EXPECT_EQ(used, 2u);
  log.StopAfter(-1);
  EXPECT_EQ(decoder.Feed(stream.data() + used, stream.size() - used, log), stream.size() - used);
  EXPECT_EQ(log.Done(),
            "D:12\xFF"
            "3 N253/0 D:4 ");
}

TEST(TelnetCodec, DataRoundTripsInBinaryAndNvtModes) {
  Bytes all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<std::uint8_t>(i));
  all.insert(all.end(), {'\r', '\n', '\r', 0, '\r', '\r'});
  for (bool binary : {true, false}) {
    Bytes wire;
    EncodeData(all.data(), all.size(), binary, wire);
    const std::string expected = "D:" + std::string(all.begin(), all.end()) + " ";
    for (std::size_t piece : {std::size_t{1}, std::size_t{2}, wire.size()})
      EXPECT_EQ(Decode(wire, piece, binary), expected) << binary << " " << piece;
  }
  Bytes nvt;
  const Bytes cr = B({'a', '\r', 'b'});
  EncodeData(cr.data(), cr.size(), false, nvt);
  EXPECT_EQ(nvt, B({'a', '\r', 0, 'b'}));
}

TEST(TelnetNegotiation, AgreesWhatBothAcceptAndNeverLoops) {
  Negotiation client, server;
  client.AcceptLocal(kBinary);
  client.AcceptLocal(kComPort);
  client.AcceptRemote(kBinary);
  server.AcceptLocal(kBinary);
  server.AcceptRemote(kBinary);  // no COM-PORT-OPTION at this server
  Bytes toServer, toClient;
  client.RequestLocal(kComPort, toServer);
  client.RequestLocal(kBinary, toServer);
  server.RequestLocal(kEcho, toClient);  // the client does not want it
  // Let them talk until nobody has anything to say (a loop would never end).
  for (int rounds = 0; rounds < 10 && !(toServer.empty() && toClient.empty()); ++rounds) {
    Bytes nextToServer, nextToClient;
    for (std::size_t i = 0; i + 2 < toServer.size(); i += 3)
      server.Receive(toServer[i + 1], toServer[i + 2], nextToClient);
    for (std::size_t i = 0; i + 2 < toClient.size(); i += 3)
      client.Receive(toClient[i + 1], toClient[i + 2], nextToServer);
    toServer.swap(nextToServer);
    toClient.swap(nextToClient);
  }
  EXPECT_TRUE(toServer.empty() && toClient.empty());
  EXPECT_EQ(client.Local(kBinary), Negotiation::State::kYes);
  EXPECT_EQ(server.Remote(kBinary), Negotiation::State::kYes);
  EXPECT_EQ(client.Local(kComPort), Negotiation::State::kNo);
  EXPECT_TRUE(client.LocalSettled(kComPort));
  EXPECT_EQ(client.Remote(kEcho), Negotiation::State::kNo);
  EXPECT_EQ(server.Local(kEcho), Negotiation::State::kNo);
}

TEST(ComPortCodec, RequestsRepliesAndTheDcbMapping) {
  Bytes out;
  rfc::AppendRequest(rfc::Command::kSetBaudRate, 0x0001C2FF, out);  // 115455: holds 0xFF
  EXPECT_EQ(out, B({kIac, kSb, kComPort, 1, 0x00, 0x01, 0xC2, kIac, kIac, kIac, kSe}));
  out.clear();
  rfc::AppendRequest(rfc::Command::kFlowControlSuspend, 0, out);
  EXPECT_EQ(out, B({kIac, kSb, kComPort, 8, kIac, kSe}));

  rfc::ServerMessage m;
  std::string error;
  ASSERT_TRUE(rfc::ParseServerMessage(B({101, 0, 0, 0x25, 0x80}), &m, &error));
  EXPECT_EQ(m.command, rfc::Command::kSetBaudRate);
  EXPECT_EQ(m.value, 9600u);
  ASSERT_TRUE(rfc::ParseServerMessage(B({7, 0x30}), &m, &error));  // a client code, tolerated
  EXPECT_EQ(m.command, rfc::Command::kNotifyModemState);
  EXPECT_FALSE(rfc::ParseServerMessage(B({101, 0x25, 0x80}), &m, &error));
  EXPECT_EQ(error, "COM-PORT-OPTION command 101 with 2 value bytes, expected 4");
  EXPECT_FALSE(rfc::ParseServerMessage(B({150}), &m, &error));
  EXPECT_FALSE(rfc::ParseServerMessage({}, &m, &error));

  // What the peer tests do not send: space parity, 1.5 stop bits, XON/XOFF both ways.
  win::DCB dcb;
  dcb.ByteSize = 5;
  dcb.Parity = win::SPACEPARITY;
  dcb.StopBits = win::ONE5STOPBITS;
  dcb.Flags = win::DCB_fOutX | win::DCB_fInX;
  const auto r = rfc::LineRequestFromDcb(dcb);
  EXPECT_EQ(r.parity, 5);
  EXPECT_EQ(r.stopSize, 3);
  EXPECT_EQ(r.outFlow, rfc::kOutFlowXonXoff);
  EXPECT_EQ(r.inFlow, rfc::kInFlowXonXoff);
}

}  // namespace
}  // namespace veltra::test
