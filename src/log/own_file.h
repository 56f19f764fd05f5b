// own_file.h: the rules for the files the daemon keeps for itself (the log, the state file), so
// that a daemon running as root over a folder others write into cannot be turned against the
// machine through them. A name in a directory another user can write may become, at any moment,
// a link to any file, a FIFO that blocks whoever opens it, or a file of that user's. Stateless;
// used by the log file, the state file and whatever file the daemon comes to keep.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace vellumd {

// The owner whose links, files and directories the daemon trusts: root, or the daemon's own
// user. Anyone else who can write into the tree could point a link anywhere on the machine (the
// rule the kernel applies to links in sticky world-writable directories).
bool isTrustedOwner(uid_t uid);

// Whether a user other than root and the daemon's own may create, remove or rename names in the
// directory `directory` describes: it belongs to another user (who may change its mode), or it
// is writable by its group or by all. The sticky bit does not make it safe: it keeps others from
// removing names they do not own, not from creating new ones.
bool othersCanWrite(const struct stat& directory);
// othersCanWrite() for the directory that holds the last component of `path` (relative: from the
// working directory); false when that directory cannot be examined.
bool inDirectoryOthersCanWrite(const std::string& path);

// Opens `name`, relative to `directory` (a descriptor, or AT_FDCWD), with `flags` and `mode` as
// open(2) takes them, for a file the daemon keeps for itself: through no link in the last
// component, without waiting on a FIFO, close-on-exec, and only when it is a regular file (and,
// with `mustOwn`, one of a trusted owner). Returns the descriptor, which the caller owns, in
// blocking mode; or -1 with `why` set to the reason, worded like strerror(): "Is a symbolic
// link", "Not a regular file", "Owned by uid N", or the failed call's own text.
int openOwnFile(int directory, const std::string& name, int flags, mode_t mode, bool mustOwn,
                std::string& why);

}  // namespace vellumd
