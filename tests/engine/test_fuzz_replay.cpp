// A short run of the fuzz checks inside the normal suite: the seed files, every cut
// of them, seeded mutations and integer texts built from their parts, so a
// regression the fuzz targets would find shows here too.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include "fuzz/fuzz_checks.h"

namespace veltra::fuzz {
namespace {

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  for (const auto& entry : std::filesystem::directory_iterator(VELTRA_FUZZ_CORPUS "/settings")) {
    std::stringstream text;
    text << std::ifstream(entry.path(), std::ios::binary).rdbuf();
    seeds.push_back(text.str());
  }
  return seeds;
}

// Overwrites, inserts or deletes a few bytes, favouring the file's own syntax.
std::string Mutate(std::string text, std::mt19937& random) {
  static constexpr std::string_view kBytes("\"\\=,[]:@\n\r\0 $x-0fF(1)", 22);
  const int edits = 1 + int(random() % 4);
  for (int i = 0; i < edits && !text.empty(); ++i) {
    const std::size_t at = random() % text.size();
    const char byte = random() % 2 ? kBytes[random() % kBytes.size()] : char(random());
    switch (random() % 3) {
      case 0:
        text[at] = byte;
        break;
      case 1:
        text.insert(at, 1, byte);
        break;
      default:
        text.erase(at, 1 + random() % 8);
        break;
    }
  }
  return text;
}

TEST(FuzzReplay, SettingsTextSeedsCutsAndMutations) {
  const std::vector<std::string> seeds = Seeds();
  ASSERT_GE(seeds.size(), 2u);
  std::mt19937 random(15);
  std::size_t inputs = 0, parsed = 0;
  auto check = [&](std::string_view text) {
    ++inputs;
    parsed += platform::ParseRegText(text).has_value();
    EXPECT_TRUE(CheckSettingsText(text)) << '"' << text << '"';
  };
  for (const std::string& seed : seeds) {
    ASSERT_TRUE(platform::ParseRegText(seed).has_value());
    for (std::size_t cut = 0; cut <= seed.size(); ++cut)
      check(std::string_view(seed).substr(0, cut));
    for (int i = 0; i < 2000 && !HasFailure(); ++i) check(Mutate(seed, random));
  }
  EXPECT_GT(parsed, inputs / 10) << "the mutations should not all be refused";
}

TEST(FuzzReplay, IntegerTextsFromTheirParts) {
  const char* blanks[] = {"", " ", "  "};
  const char* signs[] = {"", "-", "+", "--", "+-"};
  const char* prefixes[] = {"", "$", "0x", "0X", "x", "X", "$-", "0x-"};
  using namespace std::string_view_literals;
  const std::string_view digits[] = {"",           "0",
                                     "7",          "000000000012",
                                     "2147483647", "2147483648",
                                     "2147483649", "7FFFFFFF",
                                     "7fffffff",   "80000000",
                                     "80000001",   "FFFFFFFF",
                                     "100000000",  "9223372036854775808",
                                     "1a",         "G",
                                     "12 ",        "1\0"sv};
  for (const char* b : blanks)
    for (const char* s : signs)
      for (const char* p : prefixes)
        for (std::string_view d : digits) {
          const std::string text = std::string(b) + s + p + std::string(d);
          EXPECT_TRUE(CheckInteger(text)) << '"' << text << '"';
        }
}

}  // namespace
}  // namespace veltra::fuzz
