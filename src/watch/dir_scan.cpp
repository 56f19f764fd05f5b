// dir_scan.cpp: the depth-first scan that watches a tree, and the directory entry iterator.
#include "watch/dir_scan.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
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

void scanDirectory(InotifyWatch& registry, int wd, const std::string& path,
                   const std::vector<std::string>& ignore, const ScanOptions& options) {
  if (wd >= 0) {
    registry.scanBelow(wd, options);
    return;
  }
  // A target on the ignore list ("." or "..") has no watch of its own to check the directory
  // against: its entries are read by path and each watched subtree scanned from there.
  std::unique_ptr<DIR, int (*)(DIR*)> stream(path.empty() ? nullptr : opendir(path.c_str()),
                                             closedir);
  if (!stream)
    return;
  const DirEntryIterator end;
  for (DirEntryIterator entry(stream.get(), ignore); entry != end; ++entry) {
    std::optional<PlacedWatch> child =
        registry.watchEntry(-1, dirfd(stream.get()), entry->d_name, entry->d_type, options);
    if (child && child->wd >= 0)
      registry.scanBelow(child->wd, options);
  }
}

}  // namespace vellumd
