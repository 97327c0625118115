// Closed standard descriptors are filled with /dev/null.
#include "host/standard_fds.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

void open_closed_standard_fds(void)
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) >= 0 || errno != EBADF)
            continue;
        // open takes the lowest free number, which is fd itself: the
        // numbers below it are open by now.
        int opened = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
        if (opened >= 0 && opened != fd) {
            dup2(opened, fd);
            close(opened);
        }
    }
}
