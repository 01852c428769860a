// A JUnit-XML report of one script run, as test rigs' CI systems read it: one
// suite, one case; a failure or an error with its message, the log as system-out.
#pragma once

#include <string>
#include <string_view>

#include "automation/script/script_runner.h"

namespace veltra::script {

// Text for XML content and attribute values: markup characters as entities, the
// controls XML 1.0 cannot carry as "\xNN", bytes that are not UTF-8 taken as Latin-1.
std::string XmlText(std::string_view text);

// `name`: the case (the script's file name); `suite`: the suite around it.
std::string JUnitReport(const std::string& suite, const std::string& name,
                        const TScriptResult& result);

}  // namespace veltra::script
