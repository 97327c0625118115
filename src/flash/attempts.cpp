#include "flash/attempts.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "core/exit_status.h"
#include "flash/boards.h"
#include "host/answers.h"
#include "host/console.h"
#include "host/events.h"
#include "host/host.h"
#include "host/session_log.h"

namespace attempts {

namespace {

int attempt = 1;
Outcome last = Outcome::none;
// Whether a tool of this attempt failed, and whether the board was gone then.
bool failure_seen = false;
bool gone_at_failure = false;

// How often a lost board is looked for while it is waited for.
constexpr long poll_nanoseconds = 500 * 1000 * 1000;

double now()
{
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Where the board was: its USB path, else its port.
std::string place_of(const boards::Board &board)
{
    return board.usb_path.empty() ? board.port : "USB " + board.usb_path;
}

void say_failed(const std::string &text)
{
    printf("%s%s%s\n", console::red, text.c_str(), console::reset);
    events::failure(text);
    session_log::note(text);
}

} // namespace

void start(void)
{
    attempt = 1;
    last = Outcome::none;
    failure_seen = false;
    gone_at_failure = false;
}

void tool_failed(void)
{
    const boards::Board *chosen = boards::current();
    if (failure_seen || !chosen || !answers::unattended() || host::dry_run())
        return;
    failure_seen = true;
    gone_at_failure = !boards::back_in_download_mode(*chosen, false);
}

int current(void)
{
    return attempt;
}

int allowed(void)
{
    return 1 + answers::retries();
}

bool retrying(void)
{
    return answers::retries() > 0;
}

bool gone_at_tool_failure(void)
{
    return gone_at_failure;
}

bool again(void)
{
    const boards::Board *chosen = boards::current();
    // The interactive sequence keeps its own ending; its result is not read.
    if (!chosen || !answers::unattended() || host::dry_run()) {
        note(Outcome::failed);
        return false;
    }
    const boards::Board board = *chosen;
    const bool present = boards::back_in_download_mode(board, false);
    // A board that was gone when its tool failed was lost, even if it is
    // back by now.
    const bool lost = gone_at_failure || !present;
    failure_seen = false;
    gone_at_failure = false;
    if (attempt >= allowed()) {
        if (!lost) {
            say_failed("Flashing failed: a flashing tool failed with the board in download mode");
            note(Outcome::failed);
        } else {
            say_failed("Flashing failed: the board left " + place_of(board) +
                       " in the middle of the flash");
            note(Outcome::lost);
        }
        return false;
    }
    printf("Attempt %d of %d failed: %s\n", attempt, allowed(),
           lost ? "the board was lost" : "a flashing tool failed");
    session_log::note(host::format("flash attempt %d of %d failed", attempt, allowed()));
    if (!present) {
        const int timeout = answers::board_timeout();
        printf("Waiting up to %ds for the board to come back in download mode on %s ...\n", timeout,
               place_of(board).c_str());
        fflush(stdout);
        const double deadline = now() + timeout;
        bool back = false;
        while (!back && now() < deadline) {
            struct timespec pause = {0, poll_nanoseconds};
            nanosleep(&pause, nullptr);
            back = boards::back_in_download_mode(board, false);
        }
        if (!back) {
            say_failed(host::format("The board did not come back in download mode on %s within "
                                    "%ds",
                                    place_of(board).c_str(), timeout));
            note(Outcome::lost);
            return false;
        }
    }
    // Its node may have changed: the next attempt's tools are given the new one.
    if (!boards::back_in_download_mode(board, true)) {
        say_failed("The board left download mode again before the next attempt");
        note(Outcome::lost);
        return false;
    }
    attempt++;
    printf("Flashing again: attempt %d of %d\n", attempt, allowed());
    session_log::note(host::format("flash attempt %d of %d", attempt, allowed()));
    return true;
}

void note(Outcome outcome)
{
    last = outcome;
}

Outcome outcome(void)
{
    return last;
}

const char *result_text(Outcome outcome)
{
    switch (outcome) {
    case Outcome::booted:
        return "booted";
    case Outcome::flashed:
        return "flashed";
    case Outcome::not_booted:
        return "not booted";
    case Outcome::no_board:
        return "no board";
    case Outcome::lost:
        return "lost";
    case Outcome::busy:
        return "busy";
    case Outcome::none:
    case Outcome::failed:
        break;
    }
    return "failed";
}

int status_of(Outcome outcome)
{
    switch (outcome) {
    case Outcome::booted:
    case Outcome::flashed:
        return exit_status::ok;
    case Outcome::not_booted:
        return exit_status::not_booted;
    case Outcome::no_board:
    case Outcome::lost:
        return exit_status::no_board;
    case Outcome::busy:
        return exit_status::board_busy;
    case Outcome::none:
    case Outcome::failed:
        break;
    }
    return exit_status::failed;
}

} // namespace attempts
