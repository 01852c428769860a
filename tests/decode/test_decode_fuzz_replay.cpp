// A short run of the decoders' fuzz checks inside the normal suite: each protocol's
// seeds, every cut of them and seeded mutations, and the seeds of the other
// protocols, so a regression the fuzz targets would find shows here too.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "fuzz/decode_checks.h"

namespace veltra::fuzz {
namespace {

std::vector<std::string> Seeds(std::string_view protocol) {
  std::vector<std::string> seeds;
  const auto dir = std::filesystem::path(VELTRA_FUZZ_CORPUS) / protocol;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    std::stringstream bytes;
    bytes << std::ifstream(entry.path(), std::ios::binary).rdbuf();
    seeds.push_back(bytes.str());
  }
  return seeds;
}

// Overwrites, inserts, deletes or repeats a few bytes, favouring the protocols' own.
std::string Mutate(std::string bytes, std::mt19937& random) {
  static constexpr std::string_view kBytes("\x00\x02\x03\x04\x05\x06\x0A\x0D\x10\x15\x1B\x1C\x1D"
                                           "0198kpv(_",
                                           22);
  const int edits = 1 + int(random() % 4);
  for (int i = 0; i < edits && !bytes.empty(); ++i) {
    const std::size_t at = random() % bytes.size();
    const char byte = random() % 2 ? kBytes[random() % kBytes.size()] : char(random());
    switch (random() % 4) {
      case 0: bytes[at] = byte; break;
      case 1: bytes.insert(at, 1, byte); break;
      case 2: bytes.erase(at, 1 + random() % 8); break;
      default: bytes.insert(at, bytes.substr(at, 1 + random() % 16)); break;
    }
  }
  return bytes;
}

class DecodeReplay : public testing::TestWithParam<const char*> {};

TEST_P(DecodeReplay, SeedsCutsAndMutations) {
  const auto protocol = *decode::ProtocolFromName(GetParam());
  std::mt19937 random(21);
  auto check = [&](std::string_view input) {
    EXPECT_TRUE(CheckDecoder(protocol, input)) << testing::PrintToString(std::string(input));
  };
  const std::vector<std::string> seeds = Seeds(GetParam());
  ASSERT_GE(seeds.size(), 2u);
  for (const std::string& seed : seeds) {
    for (std::size_t cut = 0; cut <= seed.size() && !HasFailure(); ++cut)
      check(std::string_view(seed).substr(0, cut));
    for (int i = 0; i < 500 && !HasFailure(); ++i) check(Mutate(seed, random));
  }
  for (const char* other : {"printer", "scale", "ecr", "scanner"})
    for (const std::string& seed : Seeds(other)) check(seed);
  std::string noise(5000, '\0');
  for (char& c : noise) c = char(random());
  check(noise);
}

INSTANTIATE_TEST_SUITE_P(Protocols, DecodeReplay,
                         testing::Values("printer", "scale", "ecr", "scanner"));

}  // namespace
}  // namespace veltra::fuzz
