#pragma once

#include <gtest/gtest.h>

#include <string>

#include "automation/script/script_runner.h"

namespace veltra::script::test {

inline TScriptResult RunText(const std::string& text, std::vector<std::string> args = {}) {
  return RunScript({"test.lua", text, std::move(args)});
}

}  // namespace veltra::script::test
