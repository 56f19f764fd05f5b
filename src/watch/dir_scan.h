// dir_scan.h: the recursive scan that watches a directory and everything below it, and the
// input iterator over one directory stream that it walks with.
#pragma once

#include <dirent.h>

#include <cstddef>
#include <iterator>
#include <string>
#include <vector>

#include "watch/inotify_watch.h"

namespace vellumd {

// A single-pass iterator over the entries of an open directory stream, skipping the names on
// its ignore list. It does not own the stream: whoever opened it closes it. Copies share it.
class DirEntryIterator {
 public:
  using iterator_category = std::input_iterator_tag;
  using value_type = dirent;
  using difference_type = void;
  using pointer = const dirent*;
  using reference = const dirent&;

  // The names every scan skips: "." and "..".
  class DefaultIgnoreList : public std::vector<std::string> {
   public:
    DefaultIgnoreList();
    virtual ~DefaultIgnoreList();
  };

  // The end iterator.
  DirEntryIterator();
  // Stands on the first entry of `dir` not in `ignore`; `dir` null gives an end iterator.
  DirEntryIterator(DIR* dir, const std::vector<std::string>& ignore);
  DirEntryIterator(const DirEntryIterator&) = default;
  DirEntryIterator& operator=(const DirEntryIterator&) = default;
  virtual ~DirEntryIterator();

  reference operator*() const { return *current_; }
  pointer operator->() const { return current_; }
  DirEntryIterator& operator++();
  DirEntryIterator operator++(int);
  bool operator==(const DirEntryIterator& other) const { return current_ == other.current_; }

 private:
  void advance();

  DIR* dir_ = nullptr;         // not owned; null for an end iterator
  dirent* current_ = nullptr;  // the entry last returned by readdir(); null at the end
  std::vector<std::string> ignore_;
};

// Watches every directory below `path` (already watched as `wd`) through `registry`, depth first,
// with one directory open at a time. Links are followed only when their owner is trusted
// (isTrustedOwner). A directory that cannot be opened, or that its path no longer leads to,
// yields nothing. Throws what addWatch throws, except for the failures `options` says to skip.
void scanDirectory(InotifyWatch& registry, int wd, const std::string& path,
                   const std::vector<std::string>& ignore, const ScanOptions& options = {});

}  // namespace vellumd
