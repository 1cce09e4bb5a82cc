// SPDX-License-Identifier: Apache-2.0
#include "Submit/T_InputSource.h"

#include <algorithm>
#include <filesystem>

#include "Platform/T_Platform.h"

TInputSource::TInputSource(std::vector<std::string> arguments, TLineReader& standardInput)
    : Arguments(std::move(arguments)), StandardInput(standardInput) {}

TInputSource::TNext TInputSource::Next(TInput& input, int timeoutMs, int wakeFd) {
  while (Argument < Arguments.size()) {
    const std::string& argument = Arguments[Argument];
    if (argument != "-") {
      ++Argument;
      input.Ordinal = ++Handed;
      input.Name = argument;
      input.OutputName = std::filesystem::path(argument).filename().string();
      input.FromFile = true;
      input.Content.clear();
      return TNext::Input;
    }
    switch (StandardInput.Next(input.Content, timeoutMs, wakeFd)) {
      case TLineReader::TNext::Waiting:
        return TNext::Waiting;
      case TLineReader::TNext::End:
        LinesEnded = true;
        ++Argument;
        if (StandardInput.Failure().Ok()) continue;
        Argument = Arguments.size();  // nothing after a failure
        return TNext::End;
      case TLineReader::TNext::Line:
        input.Ordinal = ++Handed;
        input.Name = input.OutputName = "line-" + std::to_string(++Lines);
        input.FromFile = false;
        return TNext::Input;
    }
  }
  return TNext::End;
}

std::string TInputSource::ReadContent(TInput& input) {
  if (!input.FromFile) return "";
  if (TStatus read = TPlatform::Linux().Files->ReadFile(input.Name, input.Content); !read) return read.Reason();
  return "";
}

bool TInputSource::TotalKnown() const {
  return LinesEnded || std::find(Arguments.begin(), Arguments.end(), "-") == Arguments.end();
}

uint64_t TInputSource::Total() const {
  const bool lines = std::find(Arguments.begin(), Arguments.end(), "-") != Arguments.end();
  return Arguments.size() - (lines ? 1 : 0) + Lines;
}

std::string TInputSource::Failure() const { return StandardInput.Failure() ? "" : StandardInput.Failure().Text(); }
