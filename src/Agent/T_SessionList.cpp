// SPDX-License-Identifier: Apache-2.0
#include "Agent/T_SessionList.h"

#include <strings.h>

#include <algorithm>

namespace {

bool SameAddress(const std::string& a, const std::string& b) { return ::strcasecmp(a.c_str(), b.c_str()) == 0; }

}  // namespace

TSessionList::TTaskListRegistration::TTaskListRegistration(TSessionList& sessions, const std::string& address,
                                                           ITaskListSource& source)
    : Sessions(sessions), Source(source) {
  Sessions.AddSource(address, *this);
}

TSessionList::TTaskListRegistration::~TTaskListRegistration() { Sessions.RemoveSource(*this); }

void TSessionList::AddSession(const std::string& address) {
  TMutexLock guard(SessionLock);
  Addresses.push_back(address);
  Tasks.emplace_back();
}

bool TSessionList::RemoveSession(const std::string& address) {
  TMutexLock guard(SessionLock);
  for (size_t i = Addresses.size(); i-- > 0;) {
    if (Addresses[i] == address) {
      Addresses.erase(Addresses.begin() + static_cast<std::ptrdiff_t>(i));
      Tasks.erase(Tasks.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  return Addresses.empty();
}

void TSessionList::SetSessionTasks(const std::string& address, const std::string& tasks) {
  TMutexLock guard(SessionLock);
  for (size_t i = 0; i < Addresses.size(); ++i) {
    if (SameAddress(Addresses[i], address)) {
      Tasks[i] = tasks;
      return;
    }
  }
}

void TSessionList::AddSource(const std::string& address, const TTaskListRegistration& registration) {
  TMutexLock guard(SessionLock);
  Sources.push_back(TSource{address, &registration});
}

void TSessionList::RemoveSource(const TTaskListRegistration& registration) {
  TMutexLock guard(SessionLock);
  std::erase_if(Sources, [&registration](const TSource& entry) { return entry.Registration == &registration; });
}

std::string TSessionList::TasksOfLocked(size_t index) const {
  // Only the first entry of an address shows a source's list: the one of
  // that address's sessions that reported last (the first registered
  // before any report).
  const std::string& address = Addresses[index];
  for (size_t i = 0; i < index; ++i)
    if (SameAddress(Addresses[i], address)) return Tasks[index];
  const TTaskListRegistration* latest = nullptr;
  uint64_t latestReport = 0;
  for (const TSource& source : Sources) {
    if (!SameAddress(source.Address, address)) continue;
    const uint64_t report = source.Registration->LastReport.load(std::memory_order_relaxed);
    if (latest == nullptr || report > latestReport) {
      latest = source.Registration;
      latestReport = report;
    }
  }
  return latest != nullptr ? latest->Source.GetTaskList() : Tasks[index];
}

std::string TSessionList::FirstTaskList() const {
  TMutexLock guard(SessionLock);
  return Addresses.empty() ? std::string() : TasksOfLocked(0);
}

std::string TSessionList::StatusText(int suspendSeconds, TCoordinatorState coordinator) const {
  std::string text;
  {
    TMutexLock guard(SessionLock);
    if (Addresses.empty()) {
      text = "Unassigned";
    } else {
      text = "Working for ";
      for (size_t i = 0; i < Addresses.size(); ++i) {
        if (i > 0) text += ", ";
        text += Addresses[i] + "[" + TasksOfLocked(i) + "]";
      }
    }
  }
  if (suspendSeconds > 0) text += " [suspended, " + std::to_string(suspendSeconds) + "]";
  switch (coordinator) {
    case csConnecting:
    case csRetryWait:
      text += ", connecting to coordinator...";
      break;
    case csSearching:
      text += ", searching for coordinator...";
      break;
    case csReporting:
    case csReportWait:
      break;
  }
  return text;
}
