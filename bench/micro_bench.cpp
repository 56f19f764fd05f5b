// micro_bench.cpp: micro benchmarks of the registry and the record path, on real temporary trees.
#include <benchmark/benchmark.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "events/describe_event.h"
#include "events/inotify_event_iterator.h"
#include "watch/dir_scan.h"
#include "watch/inotify_watch.h"

namespace vellumd::bench {
namespace {

namespace fs = std::filesystem;

constexpr uint32_t kMask = 4046;  // the daemon's default watch mask

// A fresh directory under $TMPDIR (default /tmp), removed with everything in it. bench/run
// points TMPDIR at a tmpfs: on some disks each create costs a millisecond of system time.
class TempTree {
 public:
  TempTree() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp");
    pattern += "/vellumd_micro_XXXXXX";
    const char* made = mkdtemp(pattern.data());
    if (made == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
    root_ = made;
  }
  ~TempTree() {
    std::error_code ignored;
    fs::remove_all(root_, ignored);
  }
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& root() const { return root_; }

  // `directories` directories below the root in groups of 100 (gNNN and gNNN/sNN), each holding
  // `files` empty files: the shape of the end-to-end scan trees.
  void fill(int directories, int files) const {
    int made = 0;
    for (int group = 0; made < directories; ++group) {
      const std::string top = root_ + "/g" + std::to_string(group);
      makeDirectory(top, files);
      ++made;
      for (int sub = 0; sub < 99 && made < directories; ++sub, ++made) {
        makeDirectory(top + "/s" + std::to_string(sub), files);
      }
    }
  }

  // A chain d1/d2/.../dN below the root; returns the path of each level, deepest last.
  std::vector<std::string> chain(int depth) const {
    std::vector<std::string> levels;
    std::string path = root_;
    for (int level = 1; level <= depth; ++level) {
      path += "/d" + std::to_string(level);
      makeDirectory(path, 0);
      levels.push_back(path);
    }
    return levels;
  }

 private:
  static void makeDirectory(const std::string& path, int files) {
    fs::create_directory(path);
    for (int file = 0; file < files; ++file)
      std::ofstream(path + "/f" + std::to_string(file));
  }

  std::string root_;
};

std::unique_ptr<InotifyWatch> buildRegistry(const std::string& target) {
  auto watch = std::make_unique<InotifyWatch>(DirEntryIterator::DefaultIgnoreList(), kMask);
  DirectoryIdentity identity(*watch);
  TreeScan(*watch, identity).watchTree(target);
  return watch;
}

// The descriptor the registry holds for `path`; -1 when none.
int descriptorOf(const InotifyWatch& registry, const std::string& path) {
  for (const auto& [wd, entry] : registry.entries()) {
    if (registry.pathOf(wd) == path)
      return wd;
  }
  return -1;
}

// The watch limit left for this user is not known; the total limit bounds what a run may ask.
int maxUserWatches() {
  std::ifstream limit("/proc/sys/fs/inotify/max_user_watches");
  int value = 0;
  limit >> value;
  return value;
}

// One read's worth of records as the kernel lays them out: for each file written, IN_CREATE,
// IN_MODIFY and IN_CLOSE_WRITE, each with a 16-byte name field, until the buffer is full.
struct ReadBuffer {
  alignas(inotify_event) std::byte bytes[InotifyWatch::kBufferSize];
  int64_t count = 0;
  int records = 0;

  explicit ReadBuffer(int wd) {
    static constexpr uint32_t kCycle[] = {IN_CREATE, IN_MODIFY, IN_CLOSE_WRITE};
    constexpr uint32_t kNameField = 16;
    const int64_t step = static_cast<int64_t>(sizeof(inotify_event) + kNameField);
    while (count + step <= static_cast<int64_t>(sizeof bytes)) {
      inotify_event header{};
      header.wd = wd;
      header.mask = kCycle[records % 3];
      header.len = kNameField;
      char name[kNameField] = {};
      std::snprintf(name, sizeof name, "w%06d", records / 3);
      std::memcpy(bytes + count, &header, sizeof header);
      std::memcpy(bytes + count + sizeof header, name, kNameField);
      count += step;
      ++records;
    }
  }
};

// The registry over a small tree shared by the record benchmarks: records come from a directory
// two levels below the target, as in a drop folder with sub-folders.
struct SmallTree {
  TempTree tree;
  std::unique_ptr<InotifyWatch> registry;
  int wd = -1;

  SmallTree() {
    tree.fill(100, 0);
    registry = buildRegistry(tree.root());
    wd = descriptorOf(*registry, tree.root() + "/g0/s0");
  }
};

SmallTree& smallTree() {
  static SmallTree shared;
  return shared;
}

void BM_WalkReadBuffer(benchmark::State& state) {
  const ReadBuffer buffer(smallTree().wd);
  const InotifyEventIterator end;
  for (auto _ : state) {
    uint32_t masks = 0;
    for (InotifyEventIterator record(buffer.bytes, buffer.count); record != end; ++record) {
      masks |= record->mask;
    }
    benchmark::DoNotOptimize(masks);
  }
  state.SetItemsProcessed(state.iterations() * buffer.records);
}
BENCHMARK(BM_WalkReadBuffer);

void BM_WalkAndDescribeReadBuffer(benchmark::State& state) {
  SmallTree& shared = smallTree();
  const ReadBuffer buffer(shared.wd);
  const InotifyEventIterator end;
  for (auto _ : state) {
    for (InotifyEventIterator record(buffer.bytes, buffer.count); record != end; ++record) {
      std::string text = describeEvent(*record, shared.registry->registry());
      benchmark::DoNotOptimize(text.data());
    }
  }
  state.SetItemsProcessed(state.iterations() * buffer.records);
}
BENCHMARK(BM_WalkAndDescribeReadBuffer);

void BM_PathOf(benchmark::State& state) {
  static TempTree tree;
  static const std::vector<std::string> levels = tree.chain(32);
  static const std::unique_ptr<InotifyWatch> registry = buildRegistry(tree.root());
  const int depth = static_cast<int>(state.range(0));
  const int wd = descriptorOf(*registry, levels[depth - 1]);
  if (wd < 0) {
    state.SkipWithError("no watch at that depth");
    return;
  }
  for (auto _ : state) {
    std::string path = registry->pathOf(wd);
    benchmark::DoNotOptimize(path.data());
  }
}
BENCHMARK(BM_PathOf)->Arg(1)->Arg(8)->Arg(32);

void BM_BuildRegistry(benchmark::State& state) {
  const int directories = static_cast<int>(state.range(0));
  TempTree tree;
  tree.fill(directories, 10);
  for (auto _ : state) {
    std::unique_ptr<InotifyWatch> registry = buildRegistry(tree.root());
    benchmark::DoNotOptimize(registry.get());
    // Closing the descriptor makes the kernel drop every watch: not part of the build.
    state.PauseTiming();
    registry.reset();
    state.ResumeTiming();
  }
  state.SetItemsProcessed(state.iterations() * (directories + 1));
  state.counters["dirs"] = directories;
}
BENCHMARK(BM_BuildRegistry)->Arg(1000)->Unit(benchmark::kMillisecond);

// A file name such as w100042.
std::string numberedName(char prefix, int number) {
  std::string name(1, prefix);
  name += std::to_string(number);
  return name;
}

// Pending writes in a directory that already has `state.range(0)` files being written.
struct PendingFixture {
  InotifyWatch& registry = *smallTree().registry;
  const int wd = smallTree().wd;
  std::vector<std::string> others;
  std::vector<std::string> names;

  explicit PendingFixture(int alreadyPending) {
    for (int i = 0; i < alreadyPending; ++i) {
      others.push_back(numberedName('b', i));
      registry.registry().notePending(wd, others.back(), IN_CREATE);
    }
    for (int i = 0; i < 256; ++i)
      names.push_back(numberedName('w', 100000 + i));
  }
  ~PendingFixture() {
    for (const std::string& name : others)
      registry.registry().clearPending(wd, name);
    for (const std::string& name : names)
      registry.registry().clearPending(wd, name);
  }
  PendingFixture(const PendingFixture&) = delete;
  PendingFixture& operator=(const PendingFixture&) = delete;
};

// One file's whole life in the registry: created, modified, closed (looked up and cleared).
void BM_PendingLifecycle(benchmark::State& state) {
  PendingFixture fixture(static_cast<int>(state.range(0)));
  size_t next = 0;
  for (auto _ : state) {
    const std::string& name = fixture.names[next++ & 255];
    fixture.registry.registry().notePending(fixture.wd, name, IN_CREATE);
    fixture.registry.registry().notePending(fixture.wd, name, IN_MODIFY);
    benchmark::DoNotOptimize(fixture.registry.registry().pendingMask(fixture.wd, name));
    fixture.registry.registry().clearPending(fixture.wd, name);
  }
}
BENCHMARK(BM_PendingLifecycle)->Arg(0)->Arg(1000);

void BM_NotePendingAgain(benchmark::State& state) {
  PendingFixture fixture(static_cast<int>(state.range(0)));
  for (const std::string& name : fixture.names) {
    fixture.registry.registry().notePending(fixture.wd, name, IN_CREATE);
  }
  size_t next = 0;
  for (auto _ : state) {
    fixture.registry.registry().notePending(fixture.wd, fixture.names[next++ & 255], IN_MODIFY);
  }
}
BENCHMARK(BM_NotePendingAgain)->Arg(0)->Arg(1000);

void BM_PendingMask(benchmark::State& state) {
  PendingFixture fixture(static_cast<int>(state.range(0)));
  for (const std::string& name : fixture.names) {
    fixture.registry.registry().notePending(fixture.wd, name, IN_CREATE);
  }
  size_t next = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(
        fixture.registry.registry().pendingMask(fixture.wd, fixture.names[next++ & 255]));
  }
}
BENCHMARK(BM_PendingMask)->Arg(0)->Arg(1000);

void BM_ClearPendingAbsent(benchmark::State& state) {
  PendingFixture fixture(static_cast<int>(state.range(0)));
  size_t next = 0;
  for (auto _ : state)
    fixture.registry.registry().clearPending(fixture.wd, fixture.names[next++ & 255]);
}
BENCHMARK(BM_ClearPendingAbsent)->Arg(0)->Arg(1000);

// recordMoveFrom visits every entry: measured over a registry of 10,000 directories, or as many
// as the watch limit leaves room for beside other users of inotify.
struct LargeTree {
  TempTree tree;
  std::unique_ptr<InotifyWatch> registry;
  int directories = 0;
  int rootWd = -1;
  int groupWd = -1;

  LargeTree() {
    directories = std::min(10000, maxUserWatches() / 4);
    tree.fill(directories, 0);
    registry = buildRegistry(tree.root());
    rootWd = descriptorOf(*registry, tree.root());
    groupWd = descriptorOf(*registry, tree.root() + "/g0");
  }
};

void BM_RecordMoveFrom(benchmark::State& state) {
  static LargeTree large;
  const bool matching = state.range(0) != 0;
  // A directory that exists (g0/s5 under g0) or a name no entry has: both visit every entry.
  const int parent = matching ? large.groupWd : large.rootWd;
  const std::string name = matching ? "s5" : "absent";
  for (auto _ : state)
    large.registry->moves().recordMoveFrom(parent, name, 7);
  state.counters["entries"] = static_cast<double>(large.registry->entries().size());
}
BENCHMARK(BM_RecordMoveFrom)->ArgName("matching")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace vellumd::bench

BENCHMARK_MAIN();
