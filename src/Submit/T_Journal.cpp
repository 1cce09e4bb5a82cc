// SPDX-License-Identifier: Apache-2.0
#include "Submit/T_Journal.h"

#include <cerrno>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <system_error>

#include "Common/Sha256.h"

namespace {

constexpr const char* kMagic = "kelvra-submit journal";
constexpr const char* kVersion = "1";
// Hex digits of a hash that are kept: 64 bits tell runs apart well enough.
constexpr size_t kHashDigits = 16;

std::string Header(const TRunIdentity& run) {
  return std::string(kMagic) + " " + kVersion + " procedure=" + run.Procedure + " library=" + run.Library +
         " data=" + run.Data + " inputs=" + run.Inputs + " output=" + run.Output;
}

// "2026-12-08T10:15:46Z", without the process's locale or time zone.
std::string UtcNow() {
  using namespace std::chrono;
  const auto now = floor<seconds>(system_clock::now());
  const auto day = floor<days>(now);
  const year_month_day date{day};
  const hh_mm_ss<seconds> time{now - day};
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02dZ", static_cast<int>(date.year()),
                static_cast<unsigned>(date.month()), static_cast<unsigned>(date.day()),
                static_cast<int>(time.hours().count()), static_cast<int>(time.minutes().count()),
                static_cast<int>(time.seconds().count()));
  return text;
}

// The value of `key=` among the blank-separated fields of `line`; empty
// when missing.
std::string Field(const std::string& line, const std::string& key) {
  const std::string marker = " " + key + "=";
  const size_t at = line.find(marker);
  if (at == std::string::npos) return "";
  const size_t start = at + marker.size();
  return line.substr(start, line.find(' ', start) - start);
}

bool ParseNumber(std::string_view text, uint64_t& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  return error == std::errc() && end == text.data() + text.size() && !text.empty();
}

// The next blank-separated field of `line` from `at`.
std::string_view NextField(std::string_view line, size_t& at) {
  const size_t start = at;
  const size_t blank = line.find(' ', start);
  at = blank == std::string_view::npos ? line.size() : blank + 1;
  return line.substr(start, (blank == std::string_view::npos ? line.size() : blank) - start);
}

// A record line: "<n> done|failed <time> <agent> <chain> <end|-> <name>".
bool ParseRecord(std::string_view line, TJournal::TRecord& record) {
  size_t at = 0;
  std::string_view fields[6];
  for (std::string_view& field : fields) {
    if (at >= line.size()) return false;
    field = NextField(line, at);
    if (field.empty()) return false;
  }
  if (!ParseNumber(fields[0], record.Ordinal) || record.Ordinal == 0) return false;
  if (fields[1] != "done" && fields[1] != "failed") return false;
  record.Done = fields[1] == "done";
  record.Agent = fields[3] == "-" ? "" : std::string(fields[3]);
  record.Chain = fields[4];
  record.HasEnd = fields[5] != "-";
  if (record.HasEnd && !ParseNumber(fields[5], record.End)) return false;
  record.Name = line.substr(std::min(at, line.size()));
  return true;
}

// Whether the journal at `path` has a line of an input.
bool HasRecords(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line))
    if (!line.empty() && line[0] >= '0' && line[0] <= '9') return true;
  return !in.eof();  // unreadable: as if it had
}

}  // namespace

TJournal::~TJournal() {
  if (File != nullptr) std::fclose(File);
}

std::string TJournal::Hash(const std::vector<std::pair<std::string, std::string>>& named) {
  std::string identities;
  for (const auto& [name, content] : named)
    identities += name + '\n' + std::to_string(content.size()) + '\n' + Sha256Hex(content) + '\n';
  return Sha256Hex(identities).substr(0, kHashDigits);
}

std::string TJournal::Chain(std::string_view previous, std::string_view name, std::string_view line) {
  std::string text;
  text.reserve(previous.size() + name.size() + line.size() + 2);
  text.append(previous).append(1, '\n').append(name).append(1, '\n').append(line);
  return Sha256Hex(text).substr(0, kHashDigits);
}

std::string TJournal::Open(const std::string& path, const TRunIdentity& run, bool resume) {
  Path = path;
  std::error_code error;
  const bool exists = std::filesystem::exists(path, error);
  const uintmax_t size = exists ? std::filesystem::file_size(path, error) : 0;
  if (error) return "journal " + path + " cannot be read: " + error.message();
  if (!resume && size > 0 && HasRecords(path))
    return "journal " + path + " already records a run: add --resume to go on with it, or remove it to start over";
  if (resume && !exists)
    return "journal " + path + " does not exist: there is no run to resume (leave out --resume to start one)";
  // One without a line of an input (a run that ended before its first
  // result) is begun anew.
  const bool fresh = !resume || size == 0;
  if (!fresh)
    if (std::string refusal = Load(path, run); !refusal.empty()) return refusal;
  File = std::fopen(path.c_str(), fresh ? "we" : "ae");
  if (File == nullptr) return "journal " + path + " cannot be written: " + std::generic_category().message(errno);
  if (fresh)
    if (TStatus written = WriteLine(Header(run)); !written)
      return "journal " + path + " cannot be written: " + written.Reason();
  return "";
}

std::string TJournal::Load(const std::string& path, const TRunIdentity& run) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "journal " + path + " cannot be read: " + std::generic_category().message(errno);
  const std::string refused = "journal " + path + " belongs to another run: ";
  std::string line;
  uint64_t number = 0;
  uint64_t wholeLines = 0;  // bytes up to the end of the last line with its line feed
  while (std::getline(in, line)) {
    if (in.eof()) break;  // cut short by the end of the last run: dropped below
    ++number;
    wholeLines += line.size() + 1;
    if (number == 1) {
      if (line.rfind(std::string(kMagic) + " ", 0) != 0) return "journal " + path + " is not a kelvra-submit journal";
      if (line.rfind(std::string(kMagic) + " " + kVersion + " ", 0) != 0)
        return "journal " + path + " was written by another version of kelvra-submit";
      if (Field(line, "procedure") != run.Procedure)
        return refused + "it ran the procedure " + Field(line, "procedure") + ", not " + run.Procedure;
      if (Field(line, "library") != run.Library)
        return refused + "the library or its companions differ from those it ran (changed since?)";
      if (Field(line, "data") != run.Data) return refused + "its data blocks differ from those given";
      if (Field(line, "inputs") != run.Inputs) return refused + "its INPUT arguments differ from those given";
      if (Field(line, "output") != run.Output)
        return refused + (run.Output == "file" ? "its results went to an --output folder, not --output-file"
                                               : "its results went to an --output-file, not an --output folder");
      continue;
    }
    if (line.rfind("start ", 0) == 0) continue;
    TRecord record;
    if (!ParseRecord(line, record))
      return "journal " + path + " line " + std::to_string(number) + " is not understood: " + line;
    if (!Note(record.Ordinal, record.Done ? TState::Done : TState::Failed, record.Chain))
      return "journal " + path + " line " + std::to_string(number) + " records input " +
             std::to_string(record.Ordinal) + " with another chain than an earlier line: it mixes runs";
    if (record.HasEnd) RecordedEnd = record.End;
  }
  if (number == 0) return "journal " + path + " is not a kelvra-submit journal";
  in.close();
  // A line cut short by a killed run goes, so that the next line starts on
  // a line of its own.
  std::error_code error;
  if (std::filesystem::file_size(path, error) != wholeLines && !error)
    std::filesystem::resize_file(path, wholeLines, error);
  if (error) return "journal " + path + " cannot be written: " + error.message();
  return "";
}

bool TJournal::Note(uint64_t ordinal, TState state, const std::string& chain) {
  auto after = Runs.upper_bound(ordinal);
  if (after != Runs.begin()) {
    auto run = std::prev(after);
    const uint64_t first = run->first;
    TRun held = run->second;
    if (ordinal <= held.Last) {
      if (ordinal == held.Last && !held.Chain.empty() && held.Chain != chain) return false;
      if (held.State == state) {
        if (ordinal == held.Last) run->second.Chain = chain;
        return true;
      }
      // Another state for one input of the run: the run is split around it.
      if (ordinal == first) {
        Runs.erase(run);
      } else {
        run->second.Last = ordinal - 1;
        run->second.Chain.clear();  // input `ordinal` follows it at once
      }
      if (ordinal < held.Last) Runs[ordinal + 1] = held;
    }
  }
  auto inserted = Runs.emplace(ordinal, TRun{ordinal, state, chain}).first;
  if (inserted != Runs.begin()) {
    auto before = std::prev(inserted);
    if (before->second.Last + 1 == ordinal && before->second.State == state) {
      before->second.Last = ordinal;
      before->second.Chain = chain;
      Runs.erase(inserted);
      inserted = before;
    }
  }
  auto next = std::next(inserted);
  if (next != Runs.end() && next->first == inserted->second.Last + 1 && next->second.State == state) {
    inserted->second.Last = next->second.Last;
    inserted->second.Chain = next->second.Chain;
    Runs.erase(next);
  }
  return true;
}

TJournal::TState TJournal::StateOf(uint64_t ordinal) const {
  auto after = Runs.upper_bound(ordinal);
  if (after == Runs.begin()) return TState::None;
  const TRun& run = std::prev(after)->second;
  return ordinal <= run.Last ? run.State : TState::None;
}

bool TJournal::Agrees(uint64_t ordinal, std::string_view chain) const {
  auto after = Runs.upper_bound(ordinal);
  if (after == Runs.begin()) return true;
  const TRun& run = std::prev(after)->second;
  return run.Last != ordinal || run.Chain.empty() || run.Chain == chain;
}

uint64_t TJournal::LastOrdinal() const { return Runs.empty() ? 0 : Runs.rbegin()->second.Last; }

uint64_t TJournal::CountOf(TState state) const {
  uint64_t count = 0;
  for (const auto& [first, run] : Runs)
    if (run.State == state) count += run.Last - first + 1;
  return count;
}

TStatus TJournal::Append(const TRecord& record) {
  // A run that answers nothing leaves no trace.
  if (!Started) {
    if (TStatus written = WriteLine("start " + UtcNow()); !written) return written;
    Started = true;
  }
  // A name keeps its line: a line feed in a file name would end it.
  std::string name = record.Name;
  for (char& c : name)
    if (c == '\n' || c == '\r') c = '?';
  return WriteLine(std::to_string(record.Ordinal) + (record.Done ? " done " : " failed ") + UtcNow() + " " +
                   (record.Agent.empty() ? "-" : record.Agent) + " " + record.Chain + " " +
                   (record.HasEnd ? std::to_string(record.End) : "-") + " " + name);
}

TStatus TJournal::WriteLine(const std::string& line) {
  if (File == nullptr) return TStatus::Failure("cannot write journal " + Path, "not open");
  const std::string text = line + "\n";
  if (std::fwrite(text.data(), 1, text.size(), File) != text.size() || std::fflush(File) != 0)
    return TStatus::FromErrno(errno, "cannot write journal " + Path);
  return {};
}
