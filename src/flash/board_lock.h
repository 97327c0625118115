// One board, one flash: a run holds a lock per board for the whole flash,
// the boot wait included, so that two runs (two farm jobs, or a person and
// a job) never write one board at once. The locks are flock(2) locks on
// files in /run/lock, one for the board's USB path and one for its serial,
// shared by every user of the host; the kernel lifts them when the holder
// ends, however it ends.
#pragma once

#include <string>
#include <vector>

#include "flash/boards.h"

namespace board_lock {

enum class Result {
    held,   // the board is this run's until the Hold ends
    busy,   // another run held it past the wait (said so, with its holder)
    failed, // a lock file could not be opened or created (said so)
};

// The locks of one board, released when it ends.
class Hold {
  public:
    Hold() = default;
    Hold(const Hold &) = delete;
    Hold &operator=(const Hold &) = delete;
    ~Hold();

    // Takes the board's locks, waiting up to wait_seconds for a holder to
    // let go; says who holds it while it waits and when it gives up.
    Result take(const boards::Board &board, int wait_seconds);

  private:
    std::vector<int> fds_;
};

// The lock files of a board: "<dir>/ostrelle-board-usb-<path>.lock" and
// "<dir>/ostrelle-board-serial-<serial>.lock" for what is known of it, else
// one for its port; characters other than letters, digits and . _ - become _.
std::vector<std::string> lock_files(const boards::Board &board, const std::string &dir);

// The holder of the lock on the open file fd as "process <pid>: <command
// line>", from /proc/locks; "its process is not visible here" when it
// cannot be told (another PID namespace, or this process itself).
std::string holder_of(int fd);

} // namespace board_lock
