#include "Agent/T_SessionList.h"

#include <strings.h>

#include <algorithm>

namespace {

bool SameAddress(const std::string& a, const std::string& b) { return ::strcasecmp(a.c_str(), b.c_str()) == 0; }

}  // namespace

TSessionList::TTaskListRegistration::TTaskListRegistration(TSessionList& sessions, const std::string& address,
                                                           ITaskListSource& source)
    : Sessions(sessions), Source(source) {
  Sessions.AddSource(address, Source);
}

TSessionList::TTaskListRegistration::~TTaskListRegistration() { Sessions.RemoveSource(Source); }

void TSessionList::AddSession(const std::string& address) {
  TMutexLock guard(SessionLock);
  Addresses.push_back(address);
  Tasks.emplace_back();
}

void TSessionList::RemoveSession(const std::string& address) {
  TMutexLock guard(SessionLock);
  for (size_t i = Addresses.size(); i-- > 0;) {
    if (Addresses[i] == address) {
      Addresses.erase(Addresses.begin() + static_cast<std::ptrdiff_t>(i));
      Tasks.erase(Tasks.begin() + static_cast<std::ptrdiff_t>(i));
      return;
    }
  }
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

void TSessionList::AddSource(const std::string& address, ITaskListSource& source) {
  TMutexLock guard(SessionLock);
  Sources.push_back(TSource{address, &source});
}

void TSessionList::RemoveSource(const ITaskListSource& source) {
  TMutexLock guard(SessionLock);
  std::erase_if(Sources, [&source](const TSource& entry) { return entry.Source == &source; });
}

std::string TSessionList::TasksOfLocked(size_t index) const {
  // The session is the rank-th of its address; so is its source.
  const std::string& address = Addresses[index];
  size_t rank = static_cast<size_t>(
      std::count_if(Addresses.begin(), Addresses.begin() + static_cast<std::ptrdiff_t>(index),
                    [&address](const std::string& other) { return SameAddress(other, address); }));
  for (const TSource& source : Sources)
    if (SameAddress(source.Address, address) && rank-- == 0) return source.Source->GetTaskList();
  return Tasks[index];
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
