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
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <string_view>
#include <sys/ioctl.h>
#include <unistd.h>
#include <vector>

#include "core/commands.h"
#include "core/exit_status.h"
#include "core/state.h"
#include "flash/attempts.h"
#include "flash/boards.h"
#include "host/adb_server.h"
#include "host/answers.h"
#include "host/console.h"
#include "host/events.h"
#include "host/host.h"
#include "host/process.h"
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
    File output_log;
    Phase phase = Phase::starting;
    int number = 0;   // of the phase: the part erased, the seconds waited
    int percent = -1; // of the running tool, -1 when it has shown none
    int attempt = 1;  // the attempt its sequence is on
    bool running = false;
    int status = -1; // exit status, 128 + n after signal n
    std::string result;
    double started = 0;
    double ended = 0;
    std::string reports;    // a report not yet ended by its line end
    std::string last_event; // of its phase events
    std::string tail;       // output since the last line end or carriage return
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

// What a phase is called on the live line, in the closing verdict of a
// board that failed in it (nullptr: "failed while" and the live text), and
// in the events of --json.
struct PhaseRow {
    Phase phase;
    const char *live;
    const char *failed;
    const char *event;
};
constexpr PhaseRow phase_rows[] = {
    {.phase = Phase::starting, .live = "starting", .failed = "not flashed", .event = "starting"},
    {.phase = Phase::not_found,
     .live = "not found",
     .failed = "not in download mode",
     .event = "not found"},
    {.phase = Phase::loading,
     .live = "loading the programmer",
     .failed = "programmer not loaded",
     .event = "loading"},
    {.phase = Phase::erasing, .live = "erasing part", .failed = nullptr, .event = "erasing"},
    {.phase = Phase::writing_cdt,
     .live = "writing the CDT",
     .failed = nullptr,
     .event = "writing cdt"},
    {.phase = Phase::writing_build,
     .live = "writing the build",
     .failed = nullptr,
     .event = "writing build"},
    {.phase = Phase::writing_non_hlos,
     .live = "writing NON-HLOS",
     .failed = nullptr,
     .event = "writing non-hlos"},
    {.phase = Phase::waiting_for_boot,
     .live = "waiting for the boot",
     .failed = "not booted",
     .event = "waiting for boot"},
    {.phase = Phase::waiting_for_restart,
     .live = "waiting for the restart",
     .failed = "still in download mode",
     .event = "waiting for restart"},
};

const PhaseRow *row_of(Phase phase)
{
    for (const PhaseRow &row : phase_rows) {
        if (row.phase == phase)
            return &row;
    }
    return nullptr;
}

// The name of a phase in the events.
std::string event_name(Phase phase, int number)
{
    const PhaseRow *row = row_of(phase);
    if (!row)
        return "starting";
    if (phase == Phase::erasing)
        return host::format("%s part %d", row->event, number);
    return row->event;
}

events::BoardId event_id(const Board &board)
{
    return {.serial = board.serial, .usb_path = board.usb_path};
}

// A phase event for board when its phase (or the part erased) changed.
void phase_event(const Board &board, Phase phase, int number, int attempt, std::string &last)
{
    const std::string name = event_name(phase, number);
    const std::string key = name + "/" + std::to_string(attempt);
    if (key == last)
        return;
    last = key;
    const events::BoardId id = event_id(board);
    events::phase("flash", &id, name, attempt);
}

// The board's result as the events name it, from how its flash ended
// (status, and the outcome when the sequence recorded one).
const char *result_of(int status, attempts::Outcome outcome)
{
    if (outcome != attempts::Outcome::none && attempts::status_of(outcome) == status)
        return attempts::result_text(outcome);
    if (status == 0)
        return board_part == options::FlashPart::full_build && !answers::skip_boot_wait()
                   ? "booted"
                   : "flashed";
    if (status == exit_status::no_board)
        return "no board";
    if (status == exit_status::not_booted)
        return "not booted";
    if (status == exit_status::board_busy)
        return "busy";
    return "failed";
}

// The phase events of the sequence running in this process.
std::string last_phase_event;

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

// The child's side, in a copy of this program: the sequence with the board
// pinned and its own log directory, phases reported on reports_fd.
int run_child(const Job &job, int reports_fd)
{
    reports_out = reports_fd;
    board_log_dir = job.dir;
    pin(job.board);
    report_phase(Phase::starting, false);
    // Each child holds its own board's lock (board_lock.h) while it flashes.
    int status = run_sequence();
    // The parent tells a lost board, one that never booted and one another
    // run holds from any other failure.
    switch (status) {
    case 0:
    case exit_status::no_board:
    case exit_status::not_booted:
    case exit_status::board_busy:
        return status;
    default:
        return 1;
    }
}

// The board's child as a record: standard input from /dev/null (the parent
// owns the terminal), standard output and error into one pipe, the reports
// into another.
host::Child child_of(const Job &job)
{
    host::Child child;
    child.body = [&job](int reports_fd) { return run_child(job, reports_fd); };
    child.in = host::Io::null;
    child.out = host::Io::pipe;
    child.err = host::Io::to_out;
    child.reports = true;
    child.several = true;
    child.label = job.label;
    return child;
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
        std::string text = phase_text(jobs_[i].phase, jobs_[i].number);
        if (live_ || shown_[i] == text)
            return;
        shown_[i] = text;
        printf("%-*s  %s\n", label_width_, jobs_[i].label.c_str(), text.c_str());
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
                state = phase_text(job.phase, job.number) +
                        (job.percent >= 0 ? host::format(" %3d%%", job.percent) : "");
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
    const int before = job.percent;
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
    if (job.percent != before && job.percent >= 0)
        events::progress("flash", event_id(job.board), event_name(job.phase, job.number),
                         job.percent, job.attempt);
}

// Takes the child's reports: "<phase> <number> <writing 0|1>" a line, each a
// number. True when the phase changed.
bool take_reports(Job &job, int slot, std::string_view data)
{
    job.reports.append(data);
    bool changed = false;
    size_t end;
    while ((end = job.reports.find('\n')) != std::string::npos) {
        std::string line = job.reports.substr(0, end);
        job.reports.erase(0, end + 1);
        unsigned phase = 0, writing = 0;
        int number = 0, attempt = 1;
        if (sscanf(line.c_str(), "%u %d %u %d", &phase, &number, &writing, &attempt) < 3 ||
            phase > static_cast<unsigned>(last_phase) || attempt < 1)
            continue;
        signals::board_child_writing(slot, writing == 1);
        job.phase = static_cast<Phase>(phase);
        job.number = number;
        job.attempt = attempt;
        job.percent = -1;
        changed = true;
        phase_event(job.board, job.phase, job.number, job.attempt, job.last_event);
    }
    return changed;
}

// Follows the boards' children: their output and reports, their ends.
class Follower : public host::Watcher {
  public:
    Follower(std::vector<Job> &jobs, std::vector<size_t> &job_of,
             std::vector<host::Child> &children, Progress &progress)
        : jobs_(jobs), job_of_(job_of), children_(children), progress_(progress)
    {
    }

    void data(size_t i, From from, std::string_view bytes) override
    {
        Job &job = jobs_[job_of_[i]];
        if (from == From::reports) {
            if (take_reports(job, children_[i].slot, bytes))
                progress_.phase_changed(job_of_[i]);
        } else {
            take_output(job, bytes.data(), bytes.size());
        }
    }

    void ended(size_t i, int status) override
    {
        Job &job = jobs_[job_of_[i]];
        job.running = false;
        job.ended = now();
        job.status = status < 0 ? 1 : status;
        job.result = status < 0 ? "not started"
                                : phase_verdict(job.phase, job.number, job.status,
                                                board_part == options::FlashPart::full_build &&
                                                    !answers::skip_boot_wait());
        if (job.attempt > 1)
            job.result += host::format(" (%d attempts)", job.attempt);
        // A board that got as far as its programmer and is gone was lost.
        const bool lost = job.status == exit_status::no_board && job.phase != Phase::starting &&
                          job.phase != Phase::not_found;
        events::board("flash", event_id(job.board),
                      lost ? "lost" : result_of(job.status, attempts::Outcome::none), job.attempt);
        if (job.status != 0)
            events::failure("board " + job.label + ": " + job.result);
        job.output_log.reset();
        progress_.ended(job_of_[i]);
    }

    void tick() override { progress_.draw(false); }

  private:
    std::vector<Job> &jobs_;
    std::vector<size_t> &job_of_;
    std::vector<host::Child> &children_;
    Progress &progress_;
};

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

std::string phase_text(Phase phase, int number)
{
    const PhaseRow *row = row_of(phase);
    if (!row)
        return "starting";
    if (phase == Phase::erasing)
        return host::format("%s %d", row->live, number);
    if (phase == Phase::waiting_for_boot && number > 0)
        return host::format("%s, %ds", row->live, number);
    return row->live;
}

std::string phase_verdict(Phase phase, int number, int status, bool boot_waited)
{
    if (status == 0)
        return boot_waited ? "booted" : "flashed";
    if (status > 128)
        return host::format("ended by signal %d", status - 128);
    if (status == exit_status::board_busy)
        return "busy: another run holds it";
    if (status == exit_status::no_board && phase != Phase::starting && phase != Phase::not_found)
        return "lost while " + phase_text(phase, number);
    const PhaseRow *row = row_of(phase);
    if (row && row->failed)
        return row->failed;
    return "failed while " + phase_text(phase, number);
}

void report_phase(Phase phase, bool writing, int number)
{
    if (reports_out < 0) {
        if (const Board *board = current())
            phase_event(*board, phase, number, attempts::current(), last_phase_event);
        return;
    }
    std::string line = host::format("%u %d %u %d\n", static_cast<unsigned>(phase), number,
                                    writing ? 1u : 0u, attempts::current());
    write_all(reports_out, line.data(), line.size());
}

std::string log_dir_name(const Board &board)
{
    return dir_name(board);
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
    last_phase_event.clear();
    const int status = run_sequence();
    if (events::on()) {
        const Board *board = current();
        events::BoardId id = board ? event_id(*board) : events::BoardId{};
        if (!board && !ids.empty())
            id.serial = ids[0];
        events::board("flash", id, result_of(status, attempts::outcome()), attempts::current());
    }
    return status;
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
        host::run({"sudo", "-v"}, host::Effect::reads) != 0) {
        printf("%ssudo did not give root rights: nothing was flashed%s\n", console::red,
               console::reset);
        return 1;
    }

    printf("Flashing %s onto %zu board%s at once\n", release_ver, jobs.size(),
           jobs.size() == 1 ? "" : "s");
    std::vector<host::Child> children;
    std::vector<size_t> job_of; // the job of each child
    for (size_t i = 0; i < jobs.size(); i++) {
        Job &job = jobs[i];
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
        if (error || !job.output_log) {
            job.status = 1;
            job.result = "no log directory";
            continue;
        }
        job.running = true;
        job.started = now();
        children.push_back(child_of(job));
        job_of.push_back(i);
    }
    Progress progress(jobs);
    Follower follower(jobs, job_of, children, progress);
    progress.draw(true);
    // The boards' children share the adb server: started here, if need be,
    // so that the program stops it at its end.
    if (!host::dry_run())
        adb_server::ensure();
    host::run_several(children, follower);
    progress.draw(true);
    print_table(jobs, missing);
    for (const std::string &id : missing)
        events::board("flash", {.serial = id, .usb_path = ""}, "no board", 0);

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
    if (busy && !other_failure)
        return exit_status::board_busy;
    // Every board that failed failed the same way (lost, never booted):
    // that status; boards not found count as lost.
    int same = missing.empty() ? -1 : exit_status::no_board;
    for (const Job &job : jobs) {
        if (job.status == 0)
            continue;
        if (same == -1)
            same = job.status;
        else if (same != job.status)
            same = 1;
    }
    return same == exit_status::no_board || same == exit_status::not_booted ? same : 1;
}

} // namespace boards
