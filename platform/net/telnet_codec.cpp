#include "platform/net/telnet_codec.h"

#include <cstring>

namespace veltra::platform::telnet {

namespace {

constexpr std::uint8_t kCr = '\r';
constexpr std::uint8_t kFirstCommand = kSe;  // 240..255 are commands
const std::uint8_t kIacByte = kIac;

std::string OptionText(std::uint8_t option) {
  return "option " + std::to_string(option);
}

}  // namespace

// --- Decoder ------------------------------------------------------------------------

std::size_t Decoder::Feed(const std::uint8_t* data, std::size_t count, Handler& handler) {
  std::size_t i = 0;
  bool stop = false;
  while (i < count && !stop) {
    switch (state_) {
      case State::kData:
        i += DataRun(data + i, count - i, handler, &stop);
        break;
      case State::kIac:
        AfterIac(data[i++], handler, &stop);
        break;
      case State::kOption:
        state_ = State::kData;
        handler.OnNegotiation(verb_, data[i++]);
        break;
      case State::kSbOption:
        if (data[i] == kIac) {
          handler.OnProtocolError("empty subnegotiation");
          state_ = State::kIac;
        } else {
          sbOption_ = data[i];
          sb_.clear();
          sbTooLong_ = false;
          state_ = State::kSbData;
        }
        ++i;
        break;
      case State::kSbData:
      case State::kSbIac:
        SubnegotiationByte(data[i++], handler, &stop);
        break;
    }
  }
  return i;
}

// One run of plain data up to the next IAC (and, in NVT mode, up to a CR, whose
// padding NUL is dropped); an IAC itself switches state.
std::size_t Decoder::DataRun(const std::uint8_t* data, std::size_t count, Handler& handler,
                             bool* stop) {
  if (afterCr_) {
    afterCr_ = false;
    if (data[0] == 0) return 1;
  }
  if (data[0] == kIac) {
    state_ = State::kIac;
    return 1;
  }
  const auto* iac = static_cast<const std::uint8_t*>(std::memchr(data, kIac, count));
  std::size_t run = iac != nullptr ? static_cast<std::size_t>(iac - data) : count;
  if (!peerBinary_) {
    const auto* cr = static_cast<const std::uint8_t*>(std::memchr(data, kCr, run));
    if (cr != nullptr) {
      run = static_cast<std::size_t>(cr - data) + 1;
      afterCr_ = true;
    }
  }
  *stop = !handler.OnData(data, run);
  return run;
}

void Decoder::AfterIac(std::uint8_t byte, Handler& handler, bool* stop) {
  state_ = State::kData;
  switch (byte) {
    case kIac:
      *stop = !handler.OnData(&kIacByte, 1);
      return;
    case kWill:
    case kWont:
    case kDo:
    case kDont:
      verb_ = byte;
      state_ = State::kOption;
      return;
    case kSb:
      state_ = State::kSbOption;
      return;
    case kSe:
      handler.OnProtocolError("IAC SE outside a subnegotiation");
      return;
    default:
      // NOP, DM, GA, AYT and the like mean nothing on a serial line.
      if (byte < kFirstCommand)
        handler.OnProtocolError("IAC followed by data byte " + std::to_string(byte));
      return;
  }
}

void Decoder::SubnegotiationByte(std::uint8_t byte, Handler& handler, bool* stop) {
  if (state_ == State::kSbData) {
    if (byte == kIac) {
      state_ = State::kSbIac;
    } else if (sb_.size() < kMaxSubnegotiation) {
      sb_.push_back(byte);
    } else {
      sbTooLong_ = true;
    }
    return;
  }
  if (byte == kSe) {
    state_ = State::kData;
    EndSubnegotiation(handler);
    return;
  }
  if (byte == kIac) {
    state_ = State::kSbData;
    if (sb_.size() < kMaxSubnegotiation) sb_.push_back(kIac);
    return;
  }
  // The peer never closed it: drop it and take the command that cut it short.
  handler.OnProtocolError("subnegotiation of " + OptionText(sbOption_) + " cut short by IAC " +
                          std::to_string(byte));
  sb_.clear();
  AfterIac(byte, handler, stop);
}

void Decoder::EndSubnegotiation(Handler& handler) {
  if (sbTooLong_) {
    handler.OnProtocolError("subnegotiation of " + OptionText(sbOption_) + " longer than " +
                            std::to_string(kMaxSubnegotiation) + " bytes");
  } else {
    handler.OnSubnegotiation(sbOption_, sb_);
  }
  sb_.clear();
}

// --- Encoder ------------------------------------------------------------------------

void EncodeData(const std::uint8_t* data, std::size_t count, bool binary, Bytes& out) {
  if (!binary) {
    for (std::size_t i = 0; i < count; ++i) {
      out.push_back(data[i]);
      if (data[i] == kIac) out.push_back(kIac);
      if (data[i] == kCr) out.push_back(0);
    }
    return;
  }
  while (count > 0) {
    const auto* iac = static_cast<const std::uint8_t*>(std::memchr(data, kIac, count));
    const std::size_t run = iac != nullptr ? static_cast<std::size_t>(iac - data) + 1 : count;
    out.insert(out.end(), data, data + run);
    if (iac != nullptr) out.push_back(kIac);
    data += run;
    count -= run;
  }
}

void AppendNegotiation(std::uint8_t verb, std::uint8_t option, Bytes& out) {
  out.insert(out.end(), {kIac, verb, option});
}

void AppendSubnegotiation(std::uint8_t option, const Bytes& payload, Bytes& out) {
  out.insert(out.end(), {kIac, kSb, option});
  EncodeData(payload.data(), payload.size(), true, out);
  out.insert(out.end(), {kIac, kSe});
}

// --- Negotiation --------------------------------------------------------------------

void Negotiation::RequestLocal(std::uint8_t option, Bytes& out) {
  if (local_[option] != State::kNo) return;
  local_[option] = State::kWantYes;
  AppendNegotiation(kWill, option, out);
}

void Negotiation::RequestRemote(std::uint8_t option, Bytes& out) {
  if (remote_[option] != State::kNo) return;
  remote_[option] = State::kWantYes;
  AppendNegotiation(kDo, option, out);
}

void Negotiation::Receive(std::uint8_t verb, std::uint8_t option, Bytes& out) {
  switch (verb) {
    case kWill:
      Enable(remote_[option], acceptRemote_[option], kDo, kDont, option, out);
      break;
    case kWont:
      Disable(remote_[option], kDont, option, out);
      break;
    case kDo:
      Enable(local_[option], acceptLocal_[option], kWill, kWont, option, out);
      break;
    case kDont:
      Disable(local_[option], kWont, option, out);
      break;
    default:
      break;
  }
}

// The peer asks for the option on, or agrees to our asking.
void Negotiation::Enable(State& state, bool accepted, std::uint8_t yes, std::uint8_t no,
                         std::uint8_t option, Bytes& out) {
  switch (state) {
    case State::kNo:
      if (accepted) state = State::kYes;
      AppendNegotiation(accepted ? yes : no, option, out);
      break;
    case State::kWantYes:
      state = State::kYes;
      break;
    case State::kWantNo:  // it answered our "off" with "on": it stays off
      state = State::kNo;
      break;
    case State::kYes:
      break;
  }
}

// The peer turns the option off or refuses it; only an option that was on is
// acknowledged.
void Negotiation::Disable(State& state, std::uint8_t no, std::uint8_t option, Bytes& out) {
  if (state == State::kYes) AppendNegotiation(no, option, out);
  state = State::kNo;
}

}  // namespace veltra::platform::telnet
