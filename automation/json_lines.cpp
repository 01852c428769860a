#include "automation/json_lines.h"

#include <iterator>
#include <vector>

#include "automation/library.h"

namespace veltra::automation {

namespace {

// Walks the text for the JSON reader and keeps the line of the last character it
// handed over that is not white space: the line of the token just read.
class TLineCountingIterator {
 public:
  using iterator_category = std::forward_iterator_tag;
  using value_type = char;
  using difference_type = std::ptrdiff_t;
  using pointer = const char*;
  using reference = const char&;

  struct TLines {
    int current = 1;  // of the next character
    int token = 1;    // of the last character that was not white space
  };

  TLineCountingIterator(const char* p, TLines* lines) : p_(p), lines_(lines) {}
  reference operator*() const { return *p_; }
  TLineCountingIterator& operator++() {
    if (*p_ == '\n') {
      ++lines_->current;
    } else if (*p_ != ' ' && *p_ != '\t' && *p_ != '\r') {
      lines_->token = lines_->current;
    }
    ++p_;
    return *this;
  }
  TLineCountingIterator operator++(int) {
    TLineCountingIterator before = *this;
    ++*this;
    return before;
  }
  bool operator==(const TLineCountingIterator& other) const { return p_ == other.p_; }

 private:
  const char* p_;
  TLines* lines_;
};

// Builds the document from the reader's events, noting each value's line.
class TDocumentBuilder : public nlohmann::json_sax<TJson> {
 public:
  TDocumentBuilder(TJsonDocument& doc, const TLineCountingIterator::TLines& lines)
      : doc_(doc), lines_(lines) {}

  bool null() override { return Put(nullptr); }
  bool boolean(bool v) override { return Put(v); }
  bool number_integer(number_integer_t v) override { return Put(v); }
  bool number_unsigned(number_unsigned_t v) override { return Put(v); }
  bool number_float(number_float_t v, const string_t&) override { return Put(v); }
  bool string(string_t& v) override { return Put(v); }
  bool binary(binary_t&) override { return Fail("binary values are not JSON"); }
  bool start_object(std::size_t) override { return Open(TJson::object()); }
  bool start_array(std::size_t) override { return Open(TJson::array()); }
  bool end_object() override { return Close(); }
  bool end_array() override { return Close(); }
  bool key(string_t& k) override {
    TLevel& top = stack_.back();
    if (top.value.contains(k)) return Fail("\"" + k + "\" is given twice");
    top.key = k;
    doc_.Lines[ChildPointer()] = lines_.token;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception& e) override {
    // "[json.exception.parse_error.101] parse error at line 3, column 5: what": the what.
    std::string what = e.what();
    const std::size_t column = what.find("column ");
    const std::size_t colon = what.find(": ", column == std::string::npos ? 0 : column);
    if (colon != std::string::npos) what = what.substr(colon + 2);
    return Fail(what);
  }

  std::string error;
  int errorLine = 0;

 private:
  struct TLevel {
    TJson value;
    std::string pointer;
    std::string key;
  };

  std::string ChildPointer() const {
    if (stack_.empty()) return "";
    const TLevel& top = stack_.back();
    if (top.value.is_object()) return top.pointer + "/" + top.key;
    return top.pointer + "/" + std::to_string(top.value.size());
  }
  bool Put(TJson v) {
    if (stack_.empty()) {
      doc_.Root = std::move(v);
      return true;
    }
    TLevel& top = stack_.back();
    if (top.value.is_object()) {
      top.value[top.key] = std::move(v);
    } else {
      doc_.Lines.emplace(ChildPointer(), lines_.token);  // a container has its opening line
      top.value.push_back(std::move(v));
    }
    return true;
  }
  bool Open(TJson empty) {
    const std::string pointer = ChildPointer();
    doc_.Lines[pointer] = lines_.token;
    stack_.push_back({std::move(empty), pointer, {}});
    return true;
  }
  bool Close() {
    TLevel done = std::move(stack_.back());
    stack_.pop_back();
    return Put(std::move(done.value));
  }
  bool Fail(const std::string& what) {
    error = what;
    errorLine = lines_.token;
    return false;
  }

  TJsonDocument& doc_;
  const TLineCountingIterator::TLines& lines_;
  std::vector<TLevel> stack_;
};

}  // namespace

int TJsonDocument::LineOf(std::string pointer) const {
  for (;;) {
    if (const auto it = Lines.find(pointer); it != Lines.end()) return it->second;
    if (pointer.empty()) return 1;
    pointer.erase(pointer.rfind('/'));
  }
}

TJsonDocument ParseJsonWithLines(std::string_view text) {
  TJsonDocument doc;
  TLineCountingIterator::TLines lines;
  TDocumentBuilder builder(doc, lines);
  TLineCountingIterator first(text.data(), &lines), last(text.data() + text.size(), &lines);
  if (!TJson::sax_parse(first, last, &builder)) throw TLibraryError(builder.errorLine, builder.error);
  return doc;
}

std::string Utf8FromLatin1(std::string_view bytes) {
  std::string text;
  text.reserve(bytes.size());
  for (const char c : bytes) {
    const auto b = static_cast<unsigned char>(c);
    if (b < 0x80) {
      text.push_back(c);
    } else {
      text.push_back(static_cast<char>(0xC0 | b >> 6));
      text.push_back(static_cast<char>(0x80 | (b & 0x3F)));
    }
  }
  return text;
}

// The JSON reader has checked the UTF-8; only its range matters here.
std::string Latin1FromUtf8(std::string_view text) {
  std::string bytes;
  bytes.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b < 0x80) {
      bytes.push_back(text[i]);
    } else if ((b == 0xC2 || b == 0xC3) && i + 1 < text.size()) {
      bytes.push_back(static_cast<char>((b & 0x03) << 6 | (text[++i] & 0x3F)));
    } else {
      throw TAutomationError("a character beyond Latin-1 (U+00FF): write it as hex");
    }
  }
  return bytes;
}

}  // namespace veltra::automation
