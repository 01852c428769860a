// The library file: reading with a line for every fault, writing one field a line.
#include "automation/library.h"

#include <initializer_list>

#include "automation/json_lines.h"
#include "automation/library_check.h"

namespace veltra::automation {

TLibraryError::TLibraryError(int line, const std::string& message)
    : TAutomationError(message), line_(line) {}

const TSequence* TLibrary::FindSequence(std::string_view name) const {
  for (const TSequence& s : Sequences)
    if (s.Name == name) return &s;
  return nullptr;
}

namespace {

constexpr TPartKind kPartKinds[] = {TPartKind::Text,    TPartKind::Hex,  TPartKind::Asc,
                                    TPartKind::Control, TPartKind::Code, TPartKind::Wait};
constexpr TPatternKind kPatternKinds[] = {TPatternKind::Text, TPatternKind::Hex,
                                          TPatternKind::Regex};

// Reads the document's values into the library; every fault names its line.
class TReader {
 public:
  explicit TReader(const TJsonDocument& doc) : doc_(doc) {}

  [[noreturn]] void Fail(const std::string& pointer, const std::string& what) const {
    throw TLibraryError(doc_.LineOf(pointer), what);
  }

  void OnlyMembers(const TJson& object, const std::string& pointer, const std::string& what,
                   std::initializer_list<const char*> known) const {
    if (!object.is_object()) Fail(pointer, what + " is a JSON object ({...})");
    for (const auto& [key, value] : object.items()) {
      bool ok = false;
      for (const char* k : known) ok = ok || key == k;
      if (!ok) Fail(pointer + "/" + key, what + ": \"" + key + "\" is not a field of it");
    }
  }

  const TJson* Member(const TJson& object, const char* name) const {
    const auto it = object.find(name);
    return it == object.end() ? nullptr : &*it;
  }

  std::string Text(const TJson& v, const std::string& pointer, const std::string& what) const {
    if (!v.is_string()) Fail(pointer, what + " is a string (\"...\")");
    try {
      return Latin1FromUtf8(v.get_ref<const std::string&>());
    } catch (const TAutomationError& e) {
      Fail(pointer, what + ": " + e.what());
    }
  }

  std::int64_t Integer(const TJson& v, const std::string& pointer, const std::string& what,
                       std::int64_t min, std::int64_t max) const {
    if (!v.is_number_integer() || v.get<std::int64_t>() < min || v.get<std::int64_t>() > max)
      Fail(pointer, what + " is a whole number from " + std::to_string(min) + " to " +
                        std::to_string(max));
    return v.get<std::int64_t>();
  }

  bool Flag(const TJson& v, const std::string& pointer, const std::string& what) const {
    if (!v.is_boolean()) Fail(pointer, what + " is true or false");
    return v.get<bool>();
  }

  TSequencePart Part(const TJson& v, const std::string& pointer, const std::string& what) const {
    if (!v.is_object() || v.size() != 1)
      Fail(pointer, what + " is one field: {\"text\": ...}, hex, asc, control, code or wait");
    const std::string& key = v.begin().key();
    const TJson& value = v.begin().value();
    for (const TPartKind kind : kPartKinds) {
      if (key != PartKindName(kind)) continue;
      TSequencePart part{kind, {}, {}};
      const std::string where = pointer + "/" + key;
      if (kind == TPartKind::Wait) {
        part.Wait = std::chrono::milliseconds(Integer(value, where, what + " (wait, ms)", 0,
                                                      kMaxWait.count()));
      } else {
        part.Value = Text(value, where, what + " (" + key + ")");
      }
      try {
        CheckPart(part);
      } catch (const TAutomationError& e) {
        Fail(where, what + " (" + key + "): " + e.what());
      }
      return part;
    }
    Fail(pointer + "/" + key, what + ": \"" + key + "\" is not one of text, hex, asc, control, "
                                                     "code, wait");
  }

  std::string Name(const TJson& object, const std::string& pointer, const std::string& what) const {
    const TJson* name = Member(object, "name");
    if (name == nullptr) Fail(pointer, what + " has no \"name\"");
    std::string text = Text(*name, pointer + "/name", what + " name");
    if (text.empty()) Fail(pointer + "/name", what + " has an empty name");
    return text;
  }

  int Port(const TJson& object, const std::string& pointer, const std::string& what) const {
    const TJson* port = Member(object, "port");
    return port == nullptr ? 1 : static_cast<int>(Integer(*port, pointer + "/port", what + " port", 1, 2));
  }

  TSequence Sequence(const TJson& v, const std::string& pointer) const {
    OnlyMembers(v, pointer, "a sequence", {"name", "port", "key", "parts"});
    TSequence s;
    s.Name = Name(v, pointer, "a sequence");
    const std::string what = "sequence \"" + s.Name + "\"";
    s.Port = Port(v, pointer, what);
    if (const TJson* key = Member(v, "key")) s.Shortcut = Text(*key, pointer + "/key", what + " key");
    const TJson* parts = Member(v, "parts");
    if (parts == nullptr || !parts->is_array() || parts->empty())
      Fail(pointer + "/parts", what + " needs \"parts\": a list of one or more parts");
    for (std::size_t i = 0; i < parts->size(); ++i)
      s.Parts.push_back(Part((*parts)[i], pointer + "/parts/" + std::to_string(i),
                             what + ", part " + std::to_string(i + 1)));
    return s;
  }

  TPattern Pattern(const TJson& v, const std::string& pointer, const std::string& what) const {
    TPattern pattern;
    int given = 0;
    for (const TPatternKind kind : kPatternKinds) {
      if (const TJson* text = Member(v, PatternKindName(kind))) {
        ++given;
        pattern.Kind = kind;
        pattern.Text = Text(*text, pointer + "/" + PatternKindName(kind), what + " pattern");
      }
    }
    if (given != 1) Fail(pointer, what + " needs one pattern: \"text\", \"hex\" or \"regex\"");
    if (const TJson* window = Member(v, "window")) {
      if (pattern.Kind != TPatternKind::Regex)
        Fail(pointer + "/window", what + ": \"window\" is for a regex");
      pattern.Window = static_cast<std::size_t>(
          Integer(*window, pointer + "/window", what + " window", 1, kMaxRegexWindow));
    }
    return pattern;
  }

  TTrigger Trigger(const TJson& v, const std::string& pointer) const;

 private:
  const TJsonDocument& doc_;
};

TTrigger TReader::Trigger(const TJson& v, const std::string& pointer) const {
  OnlyMembers(v, pointer, "a trigger",
              {"name", "port", "text", "hex", "regex", "window", "enabled", "once", "send", "delay",
               "mark", "count", "stop_recording", "sound", "max_rate"});
  TTrigger t;
  t.Name = Name(v, pointer, "a trigger");
  const std::string what = "trigger \"" + t.Name + "\"";
  t.Port = Port(v, pointer, what);
  t.Pattern = Pattern(v, pointer, what);
  auto field = [&](const char* name) { return Member(v, name); };
  auto at = [&](const char* name) { return pointer + "/" + name; };
  if (const TJson* f = field("enabled")) t.Enabled = Flag(*f, at("enabled"), what + " enabled");
  if (const TJson* f = field("once")) t.Once = Flag(*f, at("once"), what + " once");
  if (const TJson* f = field("send")) t.Send = Text(*f, at("send"), what + " send");
  if (const TJson* f = field("delay"))
    t.Delay = std::chrono::milliseconds(Integer(*f, at("delay"), what + " delay (ms)", 0, kMaxWait.count()));
  if (const TJson* f = field("mark")) t.Mark = Text(*f, at("mark"), what + " mark");
  if (const TJson* f = field("count")) t.Count = Flag(*f, at("count"), what + " count");
  if (const TJson* f = field("stop_recording"))
    t.StopRecording = Flag(*f, at("stop_recording"), what + " stop_recording");
  if (const TJson* f = field("sound")) t.Sound = Flag(*f, at("sound"), what + " sound");
  if (const TJson* f = field("max_rate"))
    t.MaxRate = static_cast<int>(Integer(*f, at("max_rate"), what + " max_rate", 1, 1000000));
  return t;
}

std::string Quoted(std::string_view bytes) {
  return TJson(Utf8FromLatin1(bytes)).dump();
}

void FormatSequence(const TSequence& s, std::string& out) {
  out += "    {\n      \"name\": " + Quoted(s.Name) + ",\n";
  if (s.Port != 1) out += "      \"port\": " + std::to_string(s.Port) + ",\n";
  if (!s.Shortcut.empty()) out += "      \"key\": " + Quoted(s.Shortcut) + ",\n";
  out += "      \"parts\": [";
  for (std::size_t i = 0; i < s.Parts.size(); ++i) {
    const TSequencePart& p = s.Parts[i];
    out += i == 0 ? "\n" : ",\n";
    out += std::string("        {\"") + PartKindName(p.Kind) + "\": " +
           (p.Kind == TPartKind::Wait ? std::to_string(p.Wait.count()) : Quoted(p.Value)) + "}";
  }
  out += "\n      ]\n    }";
}

void FormatTrigger(const TTrigger& t, std::string& out) {
  std::vector<std::string> fields{"\"name\": " + Quoted(t.Name)};
  if (t.Port != 1) fields.push_back("\"port\": " + std::to_string(t.Port));
  fields.push_back("\"" + std::string(PatternKindName(t.Pattern.Kind)) + "\": " + Quoted(t.Pattern.Text));
  if (t.Pattern.Kind == TPatternKind::Regex && t.Pattern.Window != kDefaultRegexWindow)
    fields.push_back("\"window\": " + std::to_string(t.Pattern.Window));
  if (!t.Enabled) fields.push_back("\"enabled\": false");
  if (t.Once) fields.push_back("\"once\": true");
  if (!t.Send.empty()) fields.push_back("\"send\": " + Quoted(t.Send));
  if (t.Delay.count() != 0) fields.push_back("\"delay\": " + std::to_string(t.Delay.count()));
  if (!t.Mark.empty()) fields.push_back("\"mark\": " + Quoted(t.Mark));
  if (t.Count) fields.push_back("\"count\": true");
  if (t.StopRecording) fields.push_back("\"stop_recording\": true");
  if (t.Sound) fields.push_back("\"sound\": true");
  if (t.MaxRate != kDefaultMaxRate) fields.push_back("\"max_rate\": " + std::to_string(t.MaxRate));
  out += "    {";
  for (std::size_t i = 0; i < fields.size(); ++i) out += (i == 0 ? "\n      " : ",\n      ") + fields[i];
  out += "\n    }";
}

}  // namespace

TLibrary ParseLibrary(std::string_view text) {
  const TJsonDocument doc = ParseJsonWithLines(text);
  const TReader r(doc);
  r.OnlyMembers(doc.Root, "", "the library", {"sequences", "triggers"});
  TLibrary library;
  std::vector<std::string> names;
  if (const TJson* list = r.Member(doc.Root, "sequences")) {
    if (!list->is_array()) r.Fail("/sequences", "\"sequences\" is a list ([...])");
    for (std::size_t i = 0; i < list->size(); ++i) {
      const std::string pointer = "/sequences/" + std::to_string(i);
      library.Sequences.push_back(r.Sequence((*list)[i], pointer));
      names.push_back(library.Sequences.back().Name);
      if (!NameGivenTwice(names).empty())
        r.Fail(pointer + "/name", "two sequences are named \"" + names.back() + "\"");
    }
  }
  names.clear();
  if (const TJson* list = r.Member(doc.Root, "triggers")) {
    if (!list->is_array()) r.Fail("/triggers", "\"triggers\" is a list ([...])");
    for (std::size_t i = 0; i < list->size(); ++i) {
      const std::string pointer = "/triggers/" + std::to_string(i);
      library.Triggers.push_back(r.Trigger((*list)[i], pointer));
      const TTrigger& t = library.Triggers.back();
      try {
        CheckTrigger(t, library);
      } catch (const TAutomationError& e) {
        r.Fail(pointer, "trigger \"" + t.Name + "\": " + e.what());
      }
      names.push_back(t.Name);
      if (!NameGivenTwice(names).empty())
        r.Fail(pointer + "/name", "two triggers are named \"" + t.Name + "\"");
    }
  }
  return library;
}

std::string FormatLibrary(const TLibrary& library) {
  std::string out = "{\n  \"sequences\": [";
  for (std::size_t i = 0; i < library.Sequences.size(); ++i) {
    out += i == 0 ? "\n" : ",\n";
    FormatSequence(library.Sequences[i], out);
  }
  out += library.Sequences.empty() ? "],\n" : "\n  ],\n";
  out += "  \"triggers\": [";
  for (std::size_t i = 0; i < library.Triggers.size(); ++i) {
    out += i == 0 ? "\n" : ",\n";
    FormatTrigger(library.Triggers[i], out);
  }
  out += library.Triggers.empty() ? "]\n}\n" : "\n  ]\n}\n";
  return out;
}

}  // namespace veltra::automation
