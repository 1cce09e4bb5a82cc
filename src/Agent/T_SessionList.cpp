#include "Agent/T_SessionList.h"

#include <strings.h>

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
    if (::strcasecmp(Addresses[i].c_str(), address.c_str()) == 0) {
      Tasks[i] = tasks;
      return;
    }
  }
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
        text += Addresses[i] + "[" + Tasks[i] + "]";
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
