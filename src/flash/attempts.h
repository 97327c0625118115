// The attempts of one board's flash. A flash whose programmer load or
// storage step fails (a tool failed, or the board dropped off USB) can be
// run again: with --retries N, up to N more times, each after the board has
// come back in download mode on the same USB path within --board-timeout
// seconds. The outcome of the last attempt is the board's result.
#pragma once

namespace attempts {

enum class Outcome {
    none,       // no attempt has ended yet
    booted,     // flashed, and listed by adb after the restart
    flashed,    // flashed, the boot not waited for (--no-boot-wait)
    not_booted, // flashed, but never listed by adb
    no_board,   // not in download mode when the flash began
    lost,       // gone in the middle of the flash and not back in time
    busy,       // another run holds it
    failed,     // anything else (a tool failed with the board still there)
};

// A new flash of a board: attempt 1, no outcome.
void start(void);

// The attempt running now (1 for the first), and how many there may be.
int current(void);
int allowed(void);

// True when a failed attempt may be followed by another (--retries given):
// an attempt then ends at its first failed step rather than writing on.
bool retrying(void);

// Right after a flashing tool failed: notes whether the board is still in
// download mode, before it may come back (a board that dropped off USB
// takes a moment to return). Only the first failure of an attempt counts.
void tool_failed(void);

// True when the board was gone as a tool of this attempt failed.
bool gone_at_tool_failure(void);

// After an attempt whose programmer load or storage step failed: says so
// and, when attempts remain, waits for the board to come back in download
// mode on its USB path (at most --board-timeout seconds). True when it is
// back and the next attempt begins; else the outcome is recorded (lost when
// the board is gone, failed when it is still in download mode) and false.
bool again(void);

// Records how the flash ended, and reads it back.
void note(Outcome outcome);
Outcome outcome(void);

// What the events and the closing table call an outcome ("booted",
// "not booted", "no board", "lost", ...).
const char *result_text(Outcome outcome);

// The exit status of a flash that ended with outcome.
int status_of(Outcome outcome);

} // namespace attempts
