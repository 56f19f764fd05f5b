// event_fuzzer.cpp: arbitrary bytes as one inotify read, walked and described against a small
// registry. Records may carry any len, wd, mask and cookie, and names without a NUL.
#include <stdlib.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <memory>
#include <vector>

#include "errors/errors.h"
#include "events/describe_event.h"
#include "events/inotify_event_iterator.h"
#include "watch/dir_scan.h"
#include "watch/inotify_watch.h"

namespace {

// A target with two levels below it, so that descriptors 1 to 3 resolve to paths.
vellumd::InotifyWatch& registry() {
  static std::unique_ptr<vellumd::InotifyWatch> watch = [] {
    char pattern[] = "/tmp/vellumd-fuzz-XXXXXX";
    std::string root = mkdtemp(pattern);
    std::filesystem::create_directories(root + "/a/b");
    auto built = std::make_unique<vellumd::InotifyWatch>(
        vellumd::DirEntryIterator::DefaultIgnoreList(), 4046);
    vellumd::DirectoryIdentity identity(*built);
    vellumd::TreeScan(*built, identity).watchTree(root);
    std::filesystem::remove_all(root);
    return built;
  }();
  return *watch;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The registry's own buffer is aligned; so is this copy.
  std::vector<inotify_event> storage(size / sizeof(inotify_event) + 1);
  auto* bytes = reinterpret_cast<std::byte*>(storage.data());
  if (size > 0)
    memcpy(bytes, data, size);
  const vellumd::InotifyEventIterator end;
  for (vellumd::InotifyEventIterator record(bytes, static_cast<int64_t>(size)); record != end;
       ++record) {
    // Any record, a descriptor the registry does not hold included, is described: nothing may
    // escape (an exception ends the run as a finding).
    (void)vellumd::describeEvent(*record, registry().registry());
    (void)vellumd::eventName(*record);
  }
  return 0;
}
