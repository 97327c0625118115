"""Runs a program as an interactive shell runs a job.

    python3 jobshell.py PIDFILE PROGRAM [ARG]...

Started as the leader of a session whose controlling terminal is standard
input, it runs PROGRAM in a process group of its own that owns the terminal,
so that Ctrl-Z and SIGTSTP really stop it (a group without a parent in its
session is orphaned, and the kernel does not stop those). PROGRAM's process
id goes to PIDFILE; the wrapper ends as PROGRAM ended (by the same signal).
"""

import os
import signal
import sys


def main():
    pidfile, argv = sys.argv[1], sys.argv[2:]
    signal.signal(signal.SIGTTOU, signal.SIG_IGN)
    pid = os.fork()
    if pid == 0:
        os.setpgid(0, 0)
        os.tcsetpgrp(0, os.getpid())
        signal.signal(signal.SIGTTOU, signal.SIG_DFL)
        os.execv(argv[0], argv)
    try:
        os.setpgid(pid, pid)
    except OSError:
        pass  # the child has set it already, or has exec'd
    with open(pidfile + '.tmp', 'w') as f:
        f.write('%d\n' % pid)
    os.rename(pidfile + '.tmp', pidfile)
    while True:
        _, status = os.waitpid(pid, 0)
        if os.WIFEXITED(status):
            sys.exit(os.WEXITSTATUS(status))
        if os.WIFSIGNALED(status):
            sig = os.WTERMSIG(status)
            signal.signal(sig, signal.SIG_DFL)
            os.kill(os.getpid(), sig)
            sys.exit(128 + sig)


if __name__ == '__main__':
    main()
