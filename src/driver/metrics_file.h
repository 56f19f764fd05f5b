// metrics_file.h: a file the daemon replaces whole for others to read, such as its metrics for
// node_exporter's textfile collector.
//
// MetricsFile owns the file's path and the name of its temporary twin. A write makes the new
// content under that twin's name, beside the file, and renames it over the file: a reader sees
// the old content or the new one, never a part. The twin's name is the file's with ".tmp"
// added, so that a collector that reads "*.prom" passes over it. The daemon often runs as root
// and the directory is the operator's choice: nothing is opened through a link, and a path that
// is a link or something else than a regular file is left alone. Single-threaded.
#pragma once

#include <string>

namespace vellumd {

class MetricsFile {
 public:
  explicit MetricsFile(const std::string& path);
  MetricsFile(const MetricsFile&) = delete;
  MetricsFile& operator=(const MetricsFile&) = delete;
  virtual ~MetricsFile();

  // Replaces the file's content with `text`, mode 0644 whatever the umask. Returns why it could
  // not ("is a link", "is not a regular file", or the system's reason), or "" when it did. A
  // temporary left by an earlier daemon (a regular file of this user) is removed first; one
  // that is anything else makes the write fail.
  std::string replace(const std::string& text);

  const std::string& path() const { return path_; }

 private:
  const std::string path_;
  const std::string temporary_;  // path_ + ".tmp": beside it, on the same file system
};

}  // namespace vellumd
