// dir_scan.cpp: the depth-first scan that watches a tree, and the directory entry iterator.
#include "watch/dir_scan.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>

namespace vellumd {

DirEntryIterator::DefaultIgnoreList::DefaultIgnoreList() : std::vector<std::string>{".", ".."} {}

DirEntryIterator::DefaultIgnoreList::~DefaultIgnoreList() = default;

DirEntryIterator::DirEntryIterator() = default;

DirEntryIterator::DirEntryIterator(DIR* dir, const std::vector<std::string>& ignore)
    : dir_(dir), ignore_(ignore) {
  advance();
}

DirEntryIterator::~DirEntryIterator() = default;

DirEntryIterator& DirEntryIterator::operator++() {
  advance();
  return *this;
}

DirEntryIterator DirEntryIterator::operator++(int) {
  DirEntryIterator before = *this;
  advance();
  return before;
}

void DirEntryIterator::advance() {
  if (dir_ == nullptr)
    return;
  // readdir() returns null both at the end and on a read error; either ends the walk.
  while ((current_ = readdir(dir_)) != nullptr) {
    const char* name = current_->d_name;
    bool skipped = std::any_of(ignore_.begin(), ignore_.end(),
                               [name](const std::string& ignored) { return ignored == name; });
    if (!skipped)
      return;
  }
}

namespace {
struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
// The scan holds one open stream per level of depth; each closes when its level ends or unwinds.
using DirStream = std::unique_ptr<DIR, DirCloser>;
}  // namespace

void scanDirectory(InotifyWatch& registry, int wd, const std::string& path,
                   const std::vector<std::string>& ignore, const ScanOptions& options) {
  DirStream stream(path.empty() ? nullptr : opendir(path.c_str()));
  const DirEntryIterator end;
  for (DirEntryIterator entry(stream.get(), ignore); entry != end; ++entry) {
    // One stat() per entry, links followed; relative to the open directory, so that the kernel
    // does not walk the whole path again for every file.
    struct stat info;
    if (fstatat(dirfd(stream.get()), entry->d_name, &info, 0) != 0 || !S_ISDIR(info.st_mode))
      continue;
    const std::string name = entry->d_name;
    const std::string full = joinPath(path, name);
    // A link to a directory is watched like one, under the link's name.
    const bool viaLink = entry->d_type == DT_LNK;
    std::optional<PlacedWatch> child = registry.tryPlaceWatch(wd, name, viaLink, options);
    if (!child || child->wd < 0)
      continue;
    scanDirectory(registry, child->wd, full, ignore, options);
  }
}

}  // namespace vellumd
