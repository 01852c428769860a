// What makes a sequence or trigger usable, for the file reader and for a library
// edited in place.
#include "automation/library_check.h"

#include <set>

#include "automation/pattern_set.h"

namespace veltra::automation {

namespace {

void CheckPort(int port) {
  if (port != 1 && port != 2) throw TAutomationError("the port is 1 or 2, not " + std::to_string(port));
}

void CheckName(const std::string& name) {
  if (name.empty()) throw TAutomationError("it has no name");
}

}  // namespace

void CheckPart(const TSequencePart& part) {
  if (part.Kind == TPartKind::Wait) {
    if (part.Wait.count() < 0 || part.Wait > kMaxWait)
      throw TAutomationError("a wait is 0 to " + std::to_string(kMaxWait.count()) + " ms");
    return;
  }
  if (part.Kind == TPartKind::Text && part.Value.empty()) throw TAutomationError("the text is empty");
  if (PartBytes(part).empty()) throw TAutomationError("it gives no bytes");
}

void CheckSequenceHead(const TSequence& sequence) {
  CheckName(sequence.Name);
  CheckPort(sequence.Port);
}

void CheckTrigger(const TTrigger& trigger, const TLibrary& library) {
  CheckName(trigger.Name);
  CheckPort(trigger.Port);
  TPatternSet({trigger.Pattern});  // throws for a pattern that cannot be used
  if (!trigger.Send.empty() && library.FindSequence(trigger.Send) == nullptr)
    throw TAutomationError("it sends \"" + trigger.Send + "\", which is not a sequence here");
  if (trigger.Delay.count() < 0 || trigger.Delay > kMaxWait)
    throw TAutomationError("a delay is 0 to " + std::to_string(kMaxWait.count()) + " ms");
  if (trigger.MaxRate < 1) throw TAutomationError("max_rate is at least 1");
}

std::string NameGivenTwice(const std::vector<std::string>& names) {
  std::set<std::string> seen;
  for (const std::string& name : names)
    if (!seen.insert(name).second) return name;
  return {};
}

void CheckLibrary(const TLibrary& library) {
  std::vector<std::string> names;
  for (const TSequence& s : library.Sequences) {
    try {
      CheckSequenceHead(s);
      for (std::size_t i = 0; i < s.Parts.size(); ++i) {
        try {
          CheckPart(s.Parts[i]);
        } catch (const TAutomationError& e) {
          throw TAutomationError("part " + std::to_string(i + 1) + " (" +
                                 PartKindName(s.Parts[i].Kind) + "): " + e.what());
        }
      }
    } catch (const TAutomationError& e) {
      throw TAutomationError("sequence \"" + s.Name + "\": " + e.what());
    }
    names.push_back(s.Name);
  }
  if (const std::string twice = NameGivenTwice(names); !twice.empty())
    throw TAutomationError("two sequences are named \"" + twice + "\"");
  names.clear();
  for (const TTrigger& t : library.Triggers) {
    try {
      CheckTrigger(t, library);
    } catch (const TAutomationError& e) {
      throw TAutomationError("trigger \"" + t.Name + "\": " + e.what());
    }
    names.push_back(t.Name);
  }
  if (const std::string twice = NameGivenTwice(names); !twice.empty())
    throw TAutomationError("two triggers are named \"" + twice + "\"");
}

}  // namespace veltra::automation
