// The per-board flashing locks: which files a board's locks are, and how
// the run that holds one is named.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "flash/board_lock.h"
#include "support/temp_dir.h"

using testing_support::TempDir;

TEST(BoardLock, ABoardIsLockedByItsUsbPathAndSerialElseItsPort)
{
    const boards::Board both{.port = "/dev/ttyUSB0", .usb_path = "1-2.3", .serial = "7A3C/..x"};
    EXPECT_EQ(board_lock::lock_files(both, "/run/lock"),
              (std::vector<std::string>{"/run/lock/ostrelle-board-usb-1-2.3.lock",
                                        "/run/lock/ostrelle-board-serial-7A3C_..x.lock"}));
    const boards::Board bare{.port = "/dev/ttyUSB4", .usb_path = "", .serial = ""};
    EXPECT_EQ(board_lock::lock_files(bare, "/d"),
              (std::vector<std::string>{"/d/ostrelle-board-port-_dev_ttyUSB4.lock"}));
}

TEST(BoardLock, TheHolderIsNamedByItsProcessAndCommandLine)
{
    TempDir dir;
    const std::string path = dir.file("board.lock");
    dir.write("board.lock", "");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        int fd = open(path.c_str(), O_RDONLY);
        flock(fd, LOCK_EX);
        char *argv[] = {const_cast<char *>("sleep"), const_cast<char *>("30"), nullptr};
        // The lock goes with the descriptor into sleep, whose command line
        // is then the holder's.
        if (write(ready[1], "x", 1) == 1)
            execvp("sleep", argv);
        _exit(127);
    }
    close(ready[1]);
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    int fd = open(path.c_str(), O_RDONLY);
    ASSERT_GE(fd, 0);
    // exec may not have happened yet: wait for sleep's own command line.
    std::string holder;
    for (int i = 0; i < 200 && holder != "process " + std::to_string(child) + ": sleep 30"; i++) {
        usleep(10000);
        holder = board_lock::holder_of(fd);
    }
    EXPECT_EQ(holder, "process " + std::to_string(child) + ": sleep 30");
    EXPECT_NE(flock(fd, LOCK_EX | LOCK_NB), 0);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    // Nobody holds it any more; this process's own lock is not another's.
    EXPECT_EQ(flock(fd, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(board_lock::holder_of(fd), "its process is not visible here");
    close(fd);
}
