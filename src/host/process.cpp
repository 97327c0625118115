// Starting, waiting for and following child processes.
#include "host/process.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "host/host.h"
#include "host/session_log.h"
#include "host/signals.h"

namespace host {

namespace {

// Set in the forked copy that runs a body.
bool body_child = false;

// A pipe for one stream: [0] the read end, [1] the write end; -1 when none.
struct PipeEnds {
    int fd[2] = {-1, -1};
    bool open() { return pipe2(fd, O_CLOEXEC) == 0; }
    void close_both()
    {
        for (int &f : fd) {
            if (f >= 0)
                ::close(f);
            f = -1;
        }
    }
};

// The child's side after the fork: its group, its signals, its streams, then
// what it runs. Never returns.
[[noreturn]] void become(const Child &child, const std::vector<char *> &args, PipeEnds &in,
                         PipeEnds &out, PipeEnds &err, PipeEnds &reports, bool hand_terminal,
                         pid_t parent, const sigset_t &old_mask)
{
    setpgid(0, 0);
    if (child.several) {
        // Should this process die without ending its children (SIGKILL), each
        // child still ends itself and its own tools.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            raise(SIGTERM);
    }
    // The tool takes the terminal itself too (as the parent does for it), so
    // that it never reads or sets it from the background before the parent
    // has handed it over; SIGTTOU is still blocked here.
    if (hand_terminal)
        tcsetpgrp(STDIN_FILENO, getpid());
    if (child.body) {
        signals::become_board_child();
    } else {
        for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP, SIGTTIN, SIGTTOU, SIGPIPE})
            signal(sig, SIG_DFL);
    }
    sigprocmask(SIG_SETMASK, &old_mask, nullptr);

    auto connect = [](Io io, PipeEnds &ends, int ours, int target) {
        if (io == Io::pipe || io == Io::log) {
            dup2(ends.fd[ours], target);
        } else if (io == Io::null) {
            int null_fd = ::open("/dev/null", target == STDIN_FILENO ? O_RDONLY : O_WRONLY);
            if (null_fd >= 0) {
                dup2(null_fd, target);
                ::close(null_fd);
            }
        }
    };
    connect(child.in, in, 0, STDIN_FILENO);
    connect(child.out, out, 1, STDOUT_FILENO);
    if (child.err == Io::to_out)
        dup2(STDOUT_FILENO, STDERR_FILENO);
    else
        connect(child.err, err, 1, STDERR_FILENO);

    if (child.body) {
        body_child = true;
        // The write end of the reports stays open across nothing but this
        // copy of the program.
        int status = child.body(reports.fd[1]);
        fflush(stdout);
        fflush(stderr);
        _exit(status);
    }
    if (!child.argv.empty())
        execvp(args[0], args.data());
    else
        execl("/bin/sh", "sh", "-c", child.shell.c_str(), static_cast<char *>(nullptr));
    _exit(127);
}

void set_nonblocking(int fd)
{
    if (fd >= 0)
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
}

// Reads what is there on fd without blocking; closes it at its end.
std::string drain(int &fd)
{
    std::string data;
    char chunk[4096];
    while (fd >= 0) {
        ssize_t n = ::read(fd, chunk, sizeof(chunk));
        if (n > 0) {
            data.append(chunk, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN) {
            ::close(fd);
            fd = -1;
        }
        break;
    }
    return data;
}

int status_of(Child &child, int wait_status)
{
    child.signal = WIFSIGNALED(wait_status) ? WTERMSIG(wait_status) : 0;
    child.status = exit_status(wait_status);
    return child.status;
}

} // namespace

bool start(Child &child)
{
    fflush(stdout);
    fflush(stderr);
    // The argument vector is built before the fork: the child only execs.
    std::vector<char *> args;
    for (const std::string &arg : child.argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);

    PipeEnds in, out, err, reports;
    bool ok = (child.in != Io::pipe || in.open()) && (child.out != Io::pipe || out.open()) &&
              ((child.err != Io::pipe && child.err != Io::log) || err.open()) &&
              (!child.reports || reports.open());
    if (!ok) {
        for (PipeEnds *p : {&in, &out, &err, &reports})
            p->close_both();
        return false;
    }

    // No handler may run between the fork and the recording of the child.
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    const bool hand_terminal = !child.several && signals::owns_terminal();
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0)
        become(child, args, in, out, err, reports, hand_terminal, parent, old);
    if (pid > 0) {
        // Both sides set the group, so it exists whichever runs first.
        setpgid(pid, pid);
        if (child.several) {
            child.slot = signals::board_child_started(pid, child.label.c_str());
            if (child.slot < 0) {
                // Nobody would end it with the program: it does not run.
                kill(-pid, SIGKILL);
                while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
                }
                pid = -1;
            }
        } else {
            signals::tool_started(pid, hand_terminal);
        }
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);

    if (pid > 0) {
        child.pid = pid;
        child.in_fd = in.fd[1];
        child.out_fd = out.fd[0];
        child.err_fd = err.fd[0];
        child.reports_fd = reports.fd[0];
        in.fd[1] = out.fd[0] = err.fd[0] = reports.fd[0] = -1;
    }
    for (PipeEnds *p : {&in, &out, &err, &reports})
        p->close_both();
    return pid > 0;
}

void close_pipes(Child &child)
{
    for (int *fd : {&child.in_fd, &child.out_fd, &child.err_fd, &child.reports_fd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

int wait(Child &child)
{
    if (child.pid <= 0)
        return child.status = -1;
    int status = 0;
    if (child.several) {
        pid_t r;
        while ((r = waitpid(child.pid, &status, 0)) < 0 && errno == EINTR) {
        }
        signals::board_child_ended(child.slot);
        child.pid = -1;
        return r < 0 ? (child.status = -1) : status_of(child, status);
    }
    // A tool stopped by Ctrl-Z stops the program with it; a tool that owned
    // the terminal and was ended by Ctrl-C or Ctrl-\ ends the program.
    for (;;) {
        pid_t r = waitpid(child.pid, &status, WUNTRACED);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            signals::tool_ended();
            child.pid = -1;
            return child.status = -1;
        }
        if (WIFSTOPPED(status)) {
            signals::stop_with_tool(child.pid);
            continue;
        }
        break;
    }
    child.pid = -1;
    bool had_terminal = signals::tool_ended();
    if (had_terminal && WIFSIGNALED(status) &&
        (WTERMSIG(status) == SIGINT || WTERMSIG(status) == SIGQUIT))
        signals::end_by(WTERMSIG(status));
    return status_of(child, status);
}

size_t run_several(std::vector<Child> &children, Watcher &watcher)
{
    size_t failed = 0;
    std::vector<bool> running(children.size(), false);
    size_t left = 0;
    for (size_t i = 0; i < children.size(); i++) {
        Child &child = children[i];
        child.several = true;
        if (child.pid <= 0 && !start(child)) {
            child.status = -1;
            failed++;
            watcher.ended(i, -1);
            continue;
        }
        for (int fd : {child.out_fd, child.err_fd, child.reports_fd})
            set_nonblocking(fd);
        running[i] = true;
        left++;
    }
    auto read_from = [&](size_t i) {
        Child &child = children[i];
        const std::pair<int *, Watcher::From> streams[] = {
            {&child.out_fd, Watcher::From::out},
            {&child.err_fd, Watcher::From::err},
            {&child.reports_fd, Watcher::From::reports},
        };
        for (auto [fd, from] : streams) {
            std::string bytes = drain(*fd);
            if (!bytes.empty())
                watcher.data(i, from, bytes);
        }
    };
    watcher.tick();
    while (left > 0) {
        std::vector<struct pollfd> fds;
        for (size_t i = 0; i < children.size(); i++) {
            for (int fd : {children[i].out_fd, children[i].err_fd, children[i].reports_fd}) {
                if (running[i] && fd >= 0)
                    fds.push_back({.fd = fd, .events = POLLIN, .revents = 0});
            }
        }
        poll(fds.data(), fds.size(), 200);
        for (size_t i = 0; i < children.size(); i++) {
            if (!running[i])
                continue;
            Child &child = children[i];
            read_from(i);
            int status;
            pid_t r = waitpid(child.pid, &status, WNOHANG);
            if (r == 0 || (r < 0 && errno == EINTR))
                continue;
            // Ended: what it wrote last is still in the pipes. A process it
            // left behind may hold them open, so they are closed here.
            read_from(i);
            close_pipes(child);
            signals::board_child_ended(child.slot);
            child.pid = -1;
            if (r < 0)
                child.status = -1;
            else
                status_of(child, status);
            running[i] = false;
            left--;
            failed += child.status != 0;
            watcher.ended(i, child.status);
        }
        watcher.tick();
    }
    return failed;
}

int capture(Child child, std::string &out, size_t max_bytes)
{
    out.clear();
    child.out = Io::pipe;
    if (!start(child))
        return -1;
    for (int *fd : {&child.in_fd, &child.reports_fd}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    // Standard error for the log, kept until its line ends.
    std::string err_text;
    auto log_lines = [&err_text](bool all) {
        size_t end;
        while ((end = err_text.find('\n')) != std::string::npos) {
            session_log::output(err_text.substr(0, end));
            err_text.erase(0, end + 1);
        }
        if (all && !err_text.empty())
            session_log::output(err_text);
        if (all)
            err_text.clear();
    };
    char buf[4096];
    while (child.out_fd >= 0 || child.err_fd >= 0) {
        struct pollfd fds[2];
        nfds_t n_fds = 0;
        for (int fd : {child.out_fd, child.err_fd}) {
            if (fd >= 0)
                fds[n_fds++] = {.fd = fd, .events = POLLIN, .revents = 0};
        }
        if (poll(fds, n_fds, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (nfds_t i = 0; i < n_fds; i++) {
            if (!fds[i].revents)
                continue;
            int &fd = fds[i].fd == child.out_fd ? child.out_fd : child.err_fd;
            ssize_t n = ::read(fd, buf, sizeof(buf));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                ::close(fd);
                fd = -1;
                continue;
            }
            if (&fd == &child.err_fd) {
                err_text.append(buf, static_cast<size_t>(n));
                log_lines(false);
                continue;
            }
            size_t room = max_bytes - std::min(max_bytes, out.size());
            out.append(buf, std::min(static_cast<size_t>(n), room));
        }
    }
    log_lines(true);
    close_pipes(child);
    return wait(child);
}

bool in_body_child(void)
{
    return body_child;
}

std::string show(const std::vector<std::string> &argv)
{
    std::string line;
    for (const std::string &arg : argv)
        line += (line.empty() ? "" : " ") + quote(arg);
    return line;
}

} // namespace host
