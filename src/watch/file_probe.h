// file_probe.h: what the daemon can learn about a file it finds already inside a directory that
// was just created: whether some process still has it open for writing, and a stamp that tells
// whether it has changed since.
#pragma once

#include <sys/types.h>

#include <ctime>
#include <optional>
#include <string>

namespace vellumd {

// Identity and state of a file's contents: a rewrite changes the size or the modification time.
struct FileStamp {
  ino_t inode = 0;
  off_t size = 0;
  timespec modified = {0, 0};

  bool operator==(const FileStamp& other) const;
};

enum class WriterState {
  kNoWriter,  // nobody has it open for writing: it is complete
  kWriter,    // some process has it open for writing: its close is still to come
  kUnknown,   // cannot tell (no permission for a lease, a filesystem without leases, gone)
};

// Asks the kernel for a read lease on the regular file at `path`, which it refuses while any
// process has the file open for writing, and gives the lease back at once. Changes no signal
// disposition. Fills `stamp` when it answers kNoWriter. Opens nothing but `path`, read-only.
WriterState probeWriters(const std::string& path, FileStamp& stamp);

// The stamp of the file at `path` (links not followed); nothing when it cannot be read.
std::optional<FileStamp> stampOf(const std::string& path);

}  // namespace vellumd
