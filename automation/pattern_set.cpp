#include "automation/pattern_set.h"

#include <algorithm>

#include "session/hex_text.h"
#include "session/char_code.h"
#include "automation/sequence.h"

#ifdef VELTRA_HAVE_RE2
#include <re2/re2.h>
#include <re2/set.h>
#endif

namespace veltra::automation {

const char* PatternKindName(TPatternKind kind) {
  switch (kind) {
    case TPatternKind::Text: return "text";
    case TPatternKind::Hex: return "hex";
    case TPatternKind::Regex: return "regex";
  }
  return "";
}

// The regular expressions, and all of them as one set: a block goes through the
// set once, and only the expressions it says match are run on their own to find
// where.
struct TPatternSet::TRegexes {
#ifdef VELTRA_HAVE_RE2
  static re2::RE2::Options Options() {
    re2::RE2::Options o;
    o.set_encoding(re2::RE2::Options::EncodingLatin1);  // one character a byte
    o.set_dot_nl(true);
    o.set_log_errors(false);
    return o;
  }
  re2::RE2::Set set{Options(), re2::RE2::UNANCHORED};
  std::vector<std::unique_ptr<re2::RE2>> each;
  std::vector<std::size_t> pattern;  // the index given to the set for each
  std::vector<std::size_t> window;
  std::vector<int> hits;
#endif
};

bool TPatternSet::RegexAvailable() {
#ifdef VELTRA_HAVE_RE2
  return true;
#else
  return false;
#endif
}

namespace {

[[noreturn]] void Refuse(const TPattern& p, const std::string& why) {
  throw TAutomationError(std::string(PatternKindName(p.Kind)) + " pattern: " + why);
}

}  // namespace

TPatternSet::TPatternSet(const std::vector<TPattern>& patterns)
    : nextStart_(patterns.size(), 0) {
  for (std::size_t k = 0; k < patterns.size(); ++k) {
    const TPattern& p = patterns[k];
    if (p.Text.empty()) Refuse(p, "it is empty");
    if (p.Kind == TPatternKind::Text) {
      if (p.Text.size() > kMaxPatternBytes)
        Refuse(p, "longer than " + std::to_string(kMaxPatternBytes) + " bytes");
      AddMasked(p.Text, std::string(p.Text.size(), '\xFF'), k);
    } else if (p.Kind == TPatternKind::Hex) {
      session::THexPattern hex;
      try {
        hex = session::ParseHexPattern(p.Text, true);
      } catch (const session::EConvertError& e) {
        Refuse(p, e.what());
      }
      if (hex.Bytes.empty()) Refuse(p, "it has no bytes");
      if (hex.Bytes.size() > kMaxPatternBytes)
        Refuse(p, "longer than " + std::to_string(kMaxPatternBytes) + " bytes");
      AddMasked(std::move(hex.Bytes), std::move(hex.Masks), k);
    } else {
      AddRegex(p, k);
    }
  }
#ifdef VELTRA_HAVE_RE2
  if (regexes_ && !regexes_->set.Compile()) throw TAutomationError("regex patterns: too many to compile");
#endif
  if (longestMasked_ > 0) keep_ = std::max(keep_, longestMasked_ - 1);
}

TPatternSet::~TPatternSet() = default;

namespace {

int KnownBits(char mask) {
  return __builtin_popcount(static_cast<unsigned char>(mask));
}

// Every byte value that a (value, mask) pair lets through.
template <typename F>
void ForEachByte(unsigned value, unsigned mask, F f) {
  for (unsigned b = 0; b < 256; ++b)
    if ((b & mask) == value) f(b);
}

}  // namespace

void TPatternSet::AddMasked(std::string bytes, std::string masks, std::size_t pattern) {
  for (std::size_t j = 0; j < bytes.size(); ++j) bytes[j] = static_cast<char>(bytes[j] & masks[j]);
  const auto index = static_cast<std::uint32_t>(masked_.size());
  longestMasked_ = std::max(longestMasked_, bytes.size());
  if (bytes.size() == 1) {
    ForEachByte(static_cast<unsigned char>(bytes[0]), static_cast<unsigned char>(masks[0]),
                [&](unsigned b) { singles_[b].push_back(index); });
    hasSingles_ = true;
    masked_.push_back({std::move(bytes), std::move(masks), pattern});
    return;
  }
  // The anchor with the most known bits; among equals the nearest pair, then the first.
  std::size_t offset = 0, gap = 1;
  int best = -1;
  for (std::size_t g = 1; g <= kGaps && g < bytes.size(); ++g)
    for (std::size_t o = 0; o + g < bytes.size(); ++o)
      if (const int known = KnownBits(masks[o]) + KnownBits(masks[o + g]); known > best)
        best = known, offset = o, gap = g;
  TGapTable& table = gaps_[gap];
  if (table.bits.empty()) table.bits.assign(65536 / 64, 0);
  const unsigned secondValue = static_cast<unsigned char>(bytes[offset + gap]);
  const unsigned secondMask = static_cast<unsigned char>(masks[offset + gap]);
  ForEachByte(static_cast<unsigned char>(bytes[offset]), static_cast<unsigned char>(masks[offset]),
              [&](unsigned b0) {
                table.byFirst[b0].push_back({index, static_cast<std::uint32_t>(offset)});
                ForEachByte(secondValue, secondMask, [&](unsigned b1) {
                  const unsigned h = b0 | b1 << 8;
                  table.bits[h >> 6] |= std::uint64_t{1} << (h & 63);
                });
              });
  masked_.push_back({std::move(bytes), std::move(masks), pattern});
}

void TPatternSet::AddRegex([[maybe_unused]] const TPattern& p, [[maybe_unused]] std::size_t pattern) {
#ifdef VELTRA_HAVE_RE2
  if (p.Window < 1 || p.Window > kMaxRegexWindow)
    Refuse(p, "its window is 1 to " + std::to_string(kMaxRegexWindow) + " bytes");
  if (!regexes_) regexes_ = std::make_unique<TRegexes>();
  auto re = std::make_unique<re2::RE2>(p.Text, TRegexes::Options());
  if (!re->ok()) Refuse(p, re->error());
  if (re2::RE2::FullMatch("", *re)) Refuse(p, "it matches where nothing came (an empty match)");
  std::string error;
  if (regexes_->set.Add(p.Text, &error) < 0) Refuse(p, error);
  regexes_->each.push_back(std::move(re));
  regexes_->pattern.push_back(pattern);
  regexes_->window.push_back(p.Window);
  keep_ = std::max(keep_, p.Window - 1);
#else
  Refuse(p, "this build has no regular expressions (RE2)");
#endif
}

const std::vector<TPatternMatch>& TPatternSet::Feed(std::string_view block) {
  matches_.clear();
  if (window_.size() > keep_) {
    windowStart_ += window_.size() - keep_;
    window_.erase(0, window_.size() - keep_);
  }
  const std::size_t seam = window_.size();
  window_.append(block);
  streamEnd_ += block.size();
  if (block.empty()) return matches_;
  for (std::size_t gap = 1; gap <= kGaps; ++gap)
    if (!gaps_[gap].bits.empty()) ScanGap(gap, seam);
  if (hasSingles_) ScanSingles(seam);
  if (regexes_) ScanRegexes(seam);
  std::sort(matches_.begin(), matches_.end(),
                   [](const TPatternMatch& a, const TPatternMatch& b) {
                     return a.End < b.End || (a.End == b.End && a.Pattern < b.Pattern);
                   });
  return matches_;
}

void TPatternSet::Reset() {
  window_.clear();
  windowStart_ = streamEnd_ = 0;
  std::fill(nextStart_.begin(), nextStart_.end(), 0);
}

// The hot loop: one table bit per position; only where some anchor may stand
// are patterns compared.
void TPatternSet::ScanGap(std::size_t gap, std::size_t seam) {
  const TGapTable& table = gaps_[gap];
  const auto* d = reinterpret_cast<const unsigned char*>(window_.data());
  const std::size_t n = window_.size();
  const std::uint64_t* bits = table.bits.data();
  auto at = [&](std::size_t i) {
    const unsigned h = d[i] | static_cast<unsigned>(d[i + gap]) << 8;
    return (bits[h >> 6] >> (h & 63)) & 1;
  };
  std::size_t i = seam >= longestMasked_ ? seam - (longestMasked_ - 1) : 0;
  // Eight positions a step, tested together: a hit is rare, so is the branch.
  for (; i + 8 + gap <= n; i += 8) {
    const std::uint64_t any = at(i) | at(i + 1) | at(i + 2) | at(i + 3) | at(i + 4) | at(i + 5) |
                              at(i + 6) | at(i + 7);
    if (any != 0)
      for (std::size_t k = i; k < i + 8; ++k)
        if (at(k)) CompareAnchored(table, k, seam);
  }
  for (; i + gap < n; ++i)
    if (at(i)) CompareAnchored(table, i, seam);
}

void TPatternSet::CompareAnchored(const TGapTable& table, std::size_t i, std::size_t seam) {
  for (const TAnchored& a : table.byFirst[static_cast<unsigned char>(window_[i])]) {
    if (i < a.offset) continue;
    const TMasked& m = masked_[a.masked];
    if (Fits(m, i - a.offset, seam)) Report(m.pattern, i - a.offset, i - a.offset + m.bytes.size());
  }
}

void TPatternSet::ScanSingles(std::size_t seam) {
  const auto* d = reinterpret_cast<const unsigned char*>(window_.data());
  for (std::size_t i = seam; i < window_.size(); ++i)
    for (const std::uint32_t index : singles_[d[i]])
      if (Fits(masked_[index], i, seam)) Report(masked_[index].pattern, i, i + 1);
}

bool TPatternSet::Fits(const TMasked& m, std::size_t start, std::size_t seam) const {
  const std::size_t end = start + m.bytes.size();
  if (end > window_.size() || end <= seam || windowStart_ + start < nextStart_[m.pattern]) return false;
  const auto* d = reinterpret_cast<const unsigned char*>(window_.data()) + start;
  for (std::size_t j = 0; j < m.bytes.size(); ++j)
    if ((d[j] & static_cast<unsigned char>(m.masks[j])) != static_cast<unsigned char>(m.bytes[j]))
      return false;
  return true;
}

void TPatternSet::ScanRegexes([[maybe_unused]] std::size_t seam) {
#ifdef VELTRA_HAVE_RE2
  TRegexes& r = *regexes_;
  r.hits.clear();
  const re2::StringPiece text(window_);
  re2::RE2::Set::ErrorInfo error{};
  if (!r.set.Match(text, &r.hits, &error) && error.kind == re2::RE2::Set::kNoError) return;
  // The set's automaton out of memory, or this RE2 saying a set matched without
  // saying which (a set of one): each expression looks for itself.
  if (r.hits.empty())
    for (std::size_t x = 0; x < r.each.size(); ++x) r.hits.push_back(static_cast<int>(x));
  std::sort(r.hits.begin(), r.hits.end());
  for (const int hit : r.hits) {
    const auto x = static_cast<std::size_t>(hit);
    const std::size_t pattern = r.pattern[x];
    std::size_t pos = seam >= r.window[x] ? seam - (r.window[x] - 1) : 0;
    if (nextStart_[pattern] > windowStart_)
      pos = std::max<std::size_t>(pos, static_cast<std::size_t>(nextStart_[pattern] - windowStart_));
    re2::StringPiece m;
    while (pos < window_.size() &&
           r.each[x]->Match(text, pos, window_.size(), re2::RE2::UNANCHORED, &m, 1)) {
      const auto begin = static_cast<std::size_t>(m.data() - window_.data());
      const std::size_t end = begin + m.size();
      if (end > seam && end > begin) Report(pattern, begin, end);
      pos = std::max(end, begin + 1);
    }
  }
#endif
}

void TPatternSet::Report(std::size_t pattern, std::size_t begin, std::size_t end) {
  matches_.push_back({pattern, windowStart_ + end, std::string_view(window_).substr(begin, end - begin)});
  nextStart_[pattern] = windowStart_ + end;
}

}  // namespace veltra::automation
