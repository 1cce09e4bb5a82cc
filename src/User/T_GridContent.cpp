// SPDX-License-Identifier: Apache-2.0
#include "User/T_GridContent.h"

#include "User/CompressedBlock.h"

void TGridContent::AddFile(const std::string& name, std::string content) {
  auto bytes = std::make_shared<const std::string>(std::move(content));
  const std::string key = FileKey(name);
  TMutexLock lock(Lock);
  Files[key] = std::move(bytes);
}

void TGridContent::AddData(const std::string& identifier, std::string content, bool compress) {
  auto bytes = std::make_shared<const std::string>(compress ? CompressBlock(content) : std::move(content));
  TMutexLock lock(Lock);
  Data[identifier] = std::move(bytes);
}

TGridContent::TBytes TGridContent::FindFile(const std::string& name) const {
  const std::string key = FileKey(name);
  TMutexLock lock(Lock);
  auto found = Files.find(key);
  return found == Files.end() ? nullptr : found->second;
}

TGridContent::TBytes TGridContent::FindData(const std::string& identifier) const {
  TMutexLock lock(Lock);
  auto found = Data.find(identifier);
  return found == Data.end() ? nullptr : found->second;
}

std::string TGridContent::FileKey(const std::string& name) {
  std::string key = name;
  for (char& c : key)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return key;
}
