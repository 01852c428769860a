// Any byte stream to and from a device decoded as scanner traffic.
#include <cstdlib>

#include "fuzz/decode_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto protocol = *veltra::decode::ProtocolFromName("scanner");
  if (!veltra::fuzz::CheckDecoder(protocol, input)) std::abort();
  return 0;
}
