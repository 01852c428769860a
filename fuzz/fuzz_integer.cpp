// An integer text of any bytes, as stored or typed.
#include <cstdlib>

#include "fuzz/fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (!veltra::fuzz::CheckInteger(text)) std::abort();
  return 0;
}
