// The checks of a library's parts, shared by the file reader (which adds the line)
// and CheckLibrary. Each throws TAutomationError saying what is wrong.
#pragma once

#include <string>
#include <vector>

#include "automation/library.h"

namespace veltra::automation {

void CheckPart(const TSequencePart& part);
// The name and the port.
void CheckSequenceHead(const TSequence& sequence);
void CheckTrigger(const TTrigger& trigger, const TLibrary& library);
// The first name in `names` that comes twice, or empty.
std::string NameGivenTwice(const std::vector<std::string>& names);

}  // namespace veltra::automation
