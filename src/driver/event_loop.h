// event_loop.h: the daemon's life after detaching. Builds the registry over the target, then
// waits in poll(), logs every wake-up and every record, and dispatches each record.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>

namespace vellumd {

// Every directory is watched for these: IN_MODIFY, IN_ATTRIB, IN_CLOSE_WRITE, IN_MOVED_FROM,
// IN_MOVED_TO, IN_CREATE, IN_DELETE, IN_DELETE_SELF and IN_MOVE_SELF.
inline constexpr uint32_t kDefaultWatchMask = 4046;

// Never returns. Any exception of the registry, the reading or the dispatch ends the process
// through its single catch-all: "Error: Unknown error", status 3. `log` may be null.
[[noreturn]] void runEventLoop(const std::string& target, const std::string& handler,
                               std::ostream* log);

}  // namespace vellumd
