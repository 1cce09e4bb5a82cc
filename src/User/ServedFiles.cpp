// SPDX-License-Identifier: Apache-2.0
#include "User/ServedFiles.h"

namespace {

std::string BaseName(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

TStatus ReadServedFiles(IFileSystem& files, const std::string& path, std::vector<TServedFile>& served) {
  std::vector<TServedFile> read;
  read.push_back({BaseName(path), {}});
  if (TStatus status = files.ReadFile(path, read.back().Content); !status)
    return TStatus::Failure(path, status.Reason(), status.Code());
  const std::string signature = path + kSignatureSuffix;
  if (files.Exists(signature)) {
    read.push_back({read.front().Name + kSignatureSuffix, {}});
    if (TStatus status = files.ReadFile(signature, read.back().Content); !status)
      return TStatus::Failure(signature, status.Reason(), status.Code());
  }
  for (TServedFile& file : read) served.push_back(std::move(file));
  return {};
}
