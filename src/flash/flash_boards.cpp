// Flashing several boards at once. The full-build sequence runs once per
// board in a child process of its own, with that board pinned (its own
// dev_name) and its own log directory, <release>/flash-logs/<board>/, which
// also keeps what the sequence printed (output.log). This process only reads
// the children: their phase reports and the tools' percentages make a live
// line per board (plain lines when standard output is no terminal), their
// exit statuses the closing table. One board failing, or unplugged, does not
// stop the others.
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "core/commands.h"
#include "core/exit_status.h"
#include "core/state.h"
#include "flash/boards.h"
#include "host/answers.h"
#include "host/console.h"
#include "host/host.h"
#include "host/session_log.h"
#include "host/signals.h"
#include "release/layout.h"
#include "utils/file.h"

namespace boards {

namespace {

// In a board's child: the write end of its phase reports; -1 elsewhere.
int reports_out = -1;
// In a board's child (or a dry run's turn of a board): its log directory;
// empty elsewhere.
std::string board_log_dir;

// What every board's sequence writes.
options::FlashPart board_part = options::FlashPart::full_build;

// The sequence of board_part on the pinned board; 0 when it passed.
int run_sequence()
{
    switch (board_part) {
    case options::FlashPart::cdt:
        return sdk_flash_cdt_helper();
    case options::FlashPart::non_hlos:
        return sdk_flash_nonhlos_helper();
    case options::FlashPart::full_build:
        break;
    }
    return sdk_flash_full_helper();
}

// The live lines are drawn again at most this often (seconds).
constexpr double redraw_interval = 0.1;

double now()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// One board of a parallel flash.
struct Job {
    Board board;
    std::string label; // how the lines and the table name the board
    std::string dir;   // its log directory
    pid_t pid = -1;
    int out_fd = -1;     // the child's standard output and error; -1 once closed
    int reports_fd = -1; // its phase reports; -1 once closed
    int slot = -1;       // its place in the signal handling's table
    File output_log;
    std::string phase = "starting";
    int percent = -1; // of the running tool, -1 when it has shown none
    bool running = false;
    int status = -1; // exit status, 128 + n after signal n
    std::string result;
    double started = 0;
    double ended = 0;
    std::string reports; // a report not yet ended by its line end
    std::string tail;    // output since the last line end or carriage return
};

// The last percentage ("40%") in text, or -1.
int percent_in(const std::string &text)
{
    size_t at = text.rfind('%');
    while (at != std::string::npos && at > 0) {
        size_t start = at;
        while (start > 0 && isdigit(static_cast<unsigned char>(text[start - 1])) && at - start < 3)
            start--;
        if (start < at) {
            int value = atoi(text.substr(start, at - start).c_str());
            if (value <= 100)
                return value;
        }
        at = text.rfind('%', at - 1);
    }
    return -1;
}

// A board's log directory name: its serial, else its USB path, else its
// node's name, with anything but letters, digits and . _ - : @ + = replaced.
std::string dir_name(const Board &board)
{
    std::string name = board.serial;
    if (name.empty())
        name = board.usb_path.empty() ? board.port.substr(board.port.rfind('/') + 1)
                                      : "usb-" + board.usb_path;
    for (char &c : name) {
        if (!isalnum(static_cast<unsigned char>(c)) && !strchr("._-:@+=", c))
            c = '_';
    }
    if (name.empty() || name == "." || name == "..")
        name = "board";
    return name;
}

std::string label_of(const Board &board)
{
    if (!board.serial.empty())
        return board.serial;
    return board.usb_path.empty() ? board.port : board.usb_path;
}

std::string duration(double seconds)
{
    unsigned total = seconds > 0 ? static_cast<unsigned>(seconds + 0.5) : 0;
    return host::format("%um%02us", total / 60, total % 60);
}

// The table's verdict on a board whose child has ended.
std::string verdict(const Job &job)
{
    if (job.status == 0)
        return board_part != options::FlashPart::full_build || answers::skip_boot_wait() ? "flashed"
                                                                                         : "booted";
    if (job.status > 128)
        return host::format("ended by signal %d", job.status - 128);
    if (job.status == exit_status::board_busy)
        return "busy: another run holds it";
    if (job.phase.rfind("waiting for the boot", 0) == 0)
        return "not booted";
    if (job.phase == "waiting for the restart")
        return "still in download mode";
    if (job.phase == "not found")
        return "not in download mode";
    if (job.phase == "starting")
        return "not flashed";
    if (job.phase == "loading the programmer")
        return "programmer not loaded";
    return "failed while " + job.phase;
}

[[noreturn]] void refuse(const std::string &text, const std::vector<Board> &found)
{
    fflush(stdout);
    fprintf(stderr, "ostrelle: %s\n", text.c_str());
    list(stderr, found);
    session_log::note(text);
    console::exit_program(exit_status::usage);
}

// The boards of a parallel flash: all of them, or those the ids name. An id
// that names no board goes into missing; one that names several stops the
// run (status 2).
std::vector<Job> jobs_for(const std::vector<Board> &found, const std::vector<std::string> &ids,
                          bool all, std::vector<std::string> &missing)
{
    std::vector<const Board *> picked;
    if (all) {
        for (const Board &board : found)
            picked.push_back(&board);
    }
    for (const std::string &id : ids) {
        std::vector<const Board *> named;
        for (const Board &board : found) {
            if (matches(board, id))
                named.push_back(&board);
        }
        if (named.size() > 1)
            refuse(id + " names " + std::to_string(named.size()) +
                       " boards; name each by its USB path or port:",
                   found);
        if (named.empty()) {
            missing.push_back(id);
            continue;
        }
        bool known = false;
        for (const Board *board : picked)
            known = known || board == named[0];
        if (!known)
            picked.push_back(named[0]);
    }
    std::vector<Job> jobs(picked.size());
    for (size_t i = 0; i < picked.size(); i++) {
        Job &job = jobs[i];
        job.board = *picked[i];
        job.label = label_of(job.board);
        std::string name = dir_name(job.board);
        // Two boards with one serial number still get a directory each.
        for (size_t k = 0; k < i; k++) {
            if (jobs[k].dir == layout::release_path("/flash-logs/" + name)) {
                name += "-" + dir_name(Board{.port = job.board.port,
                                             .usb_path = job.board.usb_path,
                                             .serial = ""});
                break;
            }
        }
        job.dir = layout::release_path("/flash-logs/" + name);
    }
    return jobs;
}

// The child's side: standard input from /dev/null (the parent owns the
// terminal), standard output and error into out_fd, the reports into
// reports_fd; the sequence with the board pinned and its log directory.
[[noreturn]] void run_child(const Job &job, int out_fd, int reports_fd)
{
    int null_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (null_fd >= 0)
        dup2(null_fd, STDIN_FILENO);
    dup2(out_fd, STDOUT_FILENO);
    dup2(out_fd, STDERR_FILENO);
    reports_out = reports_fd;
    board_log_dir = job.dir;
    pin(job.board);
    report_phase("starting", false);
    // Each child holds its own board's lock (board_lock.h) while it flashes.
    int status = run_sequence();
    fflush(stdout);
    fflush(stderr);
    _exit(status == 0 || status == exit_status::board_busy ? status : 1);
}

// Starts the board's child. False when it cannot be started.
bool start(Job &job)
{
    int out[2], reports[2];
    if (pipe2(out, O_CLOEXEC) != 0)
        return false;
    if (pipe2(reports, O_CLOEXEC) != 0) {
        close(out[0]);
        close(out[1]);
        return false;
    }
    fflush(stdout);
    fflush(stderr);
    // No handler may run between the fork and the recording of the child.
    sigset_t all, old;
    sigfillset(&all);
    sigprocmask(SIG_BLOCK, &all, &old);
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        // Should this process die without ending its children (SIGKILL), each
        // child still ends its tool and itself.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent)
            raise(SIGTERM);
        signals::become_board_child();
        sigprocmask(SIG_SETMASK, &old, nullptr);
        close(out[0]);
        close(reports[0]);
        run_child(job, out[1], reports[1]);
    }
    if (pid > 0) {
        // Both sides set the group, so it exists whichever runs first.
        setpgid(pid, pid);
        job.slot = signals::board_child_started(pid, job.label.c_str());
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    close(out[1]);
    close(reports[1]);
    if (pid < 0) {
        close(out[0]);
        close(reports[0]);
        return false;
    }
    job.pid = pid;
    job.out_fd = out[0];
    job.reports_fd = reports[0];
    fcntl(job.out_fd, F_SETFL, O_NONBLOCK);
    fcntl(job.reports_fd, F_SETFL, O_NONBLOCK);
    job.running = true;
    job.started = now();
    return true;
}

// Shows the boards' progress: on a terminal one line per board, drawn again
// in place; elsewhere a plain line for each new phase and each verdict.
class Progress {
  public:
    explicit Progress(std::vector<Job> &jobs) : jobs_(jobs), live_(isatty(STDOUT_FILENO))
    {
        size_t width = 0;
        for (const Job &job : jobs_)
            width = std::max(width, job.label.size());
        label_width_ = static_cast<int>(width);
        shown_.resize(jobs_.size());
    }

    void phase_changed(size_t i)
    {
        if (live_ || shown_[i] == jobs_[i].phase)
            return;
        shown_[i] = jobs_[i].phase;
        printf("%-*s  %s\n", label_width_, jobs_[i].label.c_str(), jobs_[i].phase.c_str());
        fflush(stdout);
    }

    void ended(size_t i)
    {
        if (live_)
            return;
        const Job &job = jobs_[i];
        printf("%-*s  %s after %s\n", label_width_, job.label.c_str(), job.result.c_str(),
               duration(job.ended - job.started).c_str());
        fflush(stdout);
    }

    // Draws the live lines again when due (always with force).
    void draw(bool force)
    {
        if (!live_ || (!force && now() - drawn_at_ < redraw_interval))
            return;
        drawn_at_ = now();
        struct winsize size {};
        size_t columns = 80;
        if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0)
            columns = size.ws_col;
        std::string text;
        if (drawn_)
            text += host::format("\033[%zuA", jobs_.size());
        for (const Job &job : jobs_) {
            std::string state;
            if (job.running)
                state = job.phase + (job.percent >= 0 ? host::format(" %3d%%", job.percent) : "");
            else
                state = job.result + " after " + duration(job.ended - job.started);
            std::string line = host::format("%-*s  %-8s  %s", label_width_, job.label.c_str(),
                                            job.board.usb_path.c_str(), state.c_str());
            // A wrapped line would throw the drawing out of place.
            if (line.size() >= columns)
                line.resize(columns - 1);
            text += "\r\033[K" + line + "\n";
        }
        fputs(text.c_str(), stdout);
        fflush(stdout);
        drawn_ = true;
    }

  private:
    std::vector<Job> &jobs_;
    bool live_;
    int label_width_ = 0;
    bool drawn_ = false;
    double drawn_at_ = 0;
    std::vector<std::string> shown_; // the phase last printed, per board
};

// Takes what the child printed: into its output.log, and the running tool's
// percentage from the line being written.
void take_output(Job &job, const char *data, size_t len)
{
    if (job.output_log)
        fwrite(data, 1, len, job.output_log.get());
    for (size_t i = 0; i < len; i++) {
        if (data[i] == '\n' || data[i] == '\r') {
            int percent = percent_in(job.tail);
            if (percent >= 0)
                job.percent = percent;
            job.tail.clear();
        } else if (job.tail.size() < 256) {
            job.tail += data[i];
        }
    }
    int percent = percent_in(job.tail);
    if (percent >= 0)
        job.percent = percent;
}

// Takes the child's reports: "<writing 0|1> <phase>" a line. True when the
// phase changed.
bool take_reports(Job &job, const char *data, size_t len)
{
    job.reports.append(data, len);
    bool changed = false;
    size_t end;
    while ((end = job.reports.find('\n')) != std::string::npos) {
        std::string line = job.reports.substr(0, end);
        job.reports.erase(0, end + 1);
        if (line.size() < 2 || line[1] != ' ')
            continue;
        signals::board_child_writing(job.slot, line[0] == '1');
        job.phase = line.substr(2);
        job.percent = -1;
        changed = true;
    }
    return changed;
}

// Reads what is there on fd; closes it at its end. Returns the bytes read.
std::string drain(int &fd)
{
    std::string data;
    char chunk[4096];
    while (fd >= 0) {
        ssize_t n = read(fd, chunk, sizeof(chunk));
        if (n > 0) {
            data.append(chunk, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || errno != EAGAIN) {
            close(fd);
            fd = -1;
        }
        break;
    }
    return data;
}

void read_child(Job &job, Progress &progress, size_t i)
{
    std::string out = drain(job.out_fd);
    take_output(job, out.data(), out.size());
    std::string reports = drain(job.reports_fd);
    if (take_reports(job, reports.data(), reports.size()))
        progress.phase_changed(i);
}

// Follows the children until every one has ended.
void follow(std::vector<Job> &jobs, Progress &progress)
{
    size_t running = 0;
    for (const Job &job : jobs)
        running += job.running;
    progress.draw(true);
    while (running > 0) {
        std::vector<struct pollfd> fds;
        for (const Job &job : jobs) {
            for (int fd : {job.out_fd, job.reports_fd}) {
                if (job.running && fd >= 0)
                    fds.push_back({.fd = fd, .events = POLLIN, .revents = 0});
            }
        }
        poll(fds.data(), fds.size(), 200);
        for (size_t i = 0; i < jobs.size(); i++) {
            Job &job = jobs[i];
            if (!job.running)
                continue;
            read_child(job, progress, i);
            int status;
            pid_t r = waitpid(job.pid, &status, WNOHANG);
            if (r == 0 || (r < 0 && errno == EINTR))
                continue;
            // Ended: what it wrote last is still in the pipes. A tool it
            // left behind may hold them open, so they are closed here.
            read_child(job, progress, i);
            for (int *fd : {&job.out_fd, &job.reports_fd}) {
                if (*fd >= 0)
                    close(*fd);
                *fd = -1;
            }
            signals::board_child_ended(job.slot);
            job.running = false;
            job.ended = now();
            if (r < 0)
                job.status = 1;
            else if (WIFEXITED(status))
                job.status = WEXITSTATUS(status);
            else
                job.status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : 1;
            job.result = verdict(job);
            job.output_log.reset();
            running--;
            progress.ended(i);
        }
        progress.draw(running == 0);
    }
}

void print_table(const std::vector<Job> &jobs, const std::vector<std::string> &missing)
{
    const std::string not_found = "not in download mode";
    int label = 5, usb = 8, result = static_cast<int>(not_found.size());
    for (const Job &job : jobs) {
        label = std::max(label, static_cast<int>(job.label.size()));
        usb = std::max(usb, static_cast<int>(job.board.usb_path.size()));
        result = std::max(result, static_cast<int>(job.result.size()));
    }
    for (const std::string &id : missing)
        label = std::max(label, static_cast<int>(id.size()));
    printf("\n%-*s  %-*s  %-*s  %s\n", label, "Board", usb, "USB path", result, "Result", "Time");
    // The padding follows the colour's reset, so that the columns line up
    // with and without colours.
    auto row = [&](const std::string &name, const std::string &path, bool ok,
                   const std::string &verdict, const std::string &time) {
        printf("%-*s  %-*s  %s%s%s%*s  %s\n", label, name.c_str(), usb,
               path.empty() ? "-" : path.c_str(), ok ? console::green : console::red,
               verdict.c_str(), console::reset, result - static_cast<int>(verdict.size()), "",
               time.c_str());
    };
    for (const Job &job : jobs)
        row(job.label, job.board.usb_path, job.status == 0, job.result,
            duration(job.ended - job.started));
    for (const std::string &id : missing)
        row(id, "", false, not_found, "-");
    if (!jobs.empty())
        printf("\nEach board's logs, and what its flash printed (output.log), are in %s/\n",
               layout::release_path("/flash-logs/<board>").c_str());
}

// A dry run shows each board's sequence in turn, in this process.
int dry_run_each(std::vector<Job> &jobs)
{
    int failed = 0;
    for (Job &job : jobs) {
        printf("\nBoard %s:\n", describe(job.board).c_str());
        pin(job.board);
        board_log_dir = job.dir;
        job.status = run_sequence();
        failed += job.status != 0;
    }
    pin(std::string());
    board_log_dir.clear();
    return failed;
}

} // namespace

void report_phase(const char *phase, bool writing)
{
    if (reports_out < 0)
        return;
    std::string line = std::string(writing ? "1 " : "0 ") + phase + "\n";
    const char *p = line.c_str();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = write(reports_out, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}

std::string log_dir(void)
{
    return board_log_dir.empty() ? layout::release_path() : board_log_dir;
}

int flash_command(const std::vector<std::string> &ids, bool all, options::FlashPart part)
{
    if (all || ids.size() > 1)
        return flash_boards(ids, all, part);
    pin(ids.empty() ? std::string() : ids[0]);
    board_part = part;
    return run_sequence();
}

int flash_boards(const std::vector<std::string> &ids, bool all, options::FlashPart part)
{
    board_part = part;
    std::vector<Board> found;
    if (!discover(found))
        return 1;
    std::vector<std::string> missing;
    std::vector<Job> jobs = jobs_for(found, ids, all, missing);
    if (jobs.size() > static_cast<size_t>(signals::max_board_children))
        refuse(host::format("%zu boards are more than the %d flashed at once; name some with "
                            "--board:",
                            jobs.size(), signals::max_board_children),
               found);
    if (jobs.empty() && missing.empty()) {
        report_no_board_full();
        return 1;
    }
    if (host::dry_run())
        return dry_run_each(jobs) == 0 && missing.empty() ? 0 : 1;

    // sudo asks for a password once, here, rather than in every child at
    // once on a terminal that the children may not read.
    if (!jobs.empty() && isatty(STDIN_FILENO) &&
        host::run("sudo -v", host::cmd_buffer, host::Effect::reads) != 0) {
        printf("%ssudo did not give root rights: nothing was flashed%s\n", console::red,
               console::reset);
        return 1;
    }

    printf("Flashing %s onto %zu board%s at once\n", release_ver, jobs.size(),
           jobs.size() == 1 ? "" : "s");
    for (Job &job : jobs) {
        std::error_code error;
        std::filesystem::create_directories(job.dir, error);
        if (!error) {
            // Made afresh, never through a link left in its place.
            const std::string log = job.dir + "/output.log";
            unlink(log.c_str());
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd >= 0)
                job.output_log.reset(fdopen(fd, "w"));
            if (fd >= 0 && !job.output_log)
                close(fd);
        }
        if (error || !job.output_log || !start(job)) {
            job.status = 1;
            job.result = error || !job.output_log ? "no log directory" : "not started";
        }
    }
    Progress progress(jobs);
    follow(jobs, progress);
    print_table(jobs, missing);

    bool all_booted = missing.empty();
    bool busy = false, other_failure = !missing.empty();
    for (const Job &job : jobs) {
        all_booted = all_booted && job.status == 0;
        busy = busy || job.status == exit_status::board_busy;
        other_failure = other_failure || (job.status != 0 && job.status != exit_status::board_busy);
    }
    if (part == options::FlashPart::full_build)
        session_log::note(all_booted ? "every board booted" : "not every board booted");
    else
        session_log::note(all_booted ? "every board left download mode"
                                     : "not every board left download mode");
    if (all_booted)
        return 0;
    // Only boards that other runs hold failed: the run can be tried again.
    return busy && !other_failure ? exit_status::board_busy : 1;
}

} // namespace boards
