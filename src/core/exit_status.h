// The exit statuses of runs with commands, one row each. A run without
// arguments keeps the interactive program's own: 0 after the prompt, 1 and
// 255 (-1) for the set-up failures. The manual page's EXIT STATUS and
// docs/unattended.md describe every row of the table; a unit test holds
// them to it.
#pragma once

namespace exit_status {

// name, value, what it means (one line of the documentation's wording).
#define OSTRELLE_EXIT_STATUSES(X)                                                                  \
    X(ok, 0, "every command succeeded")                                                            \
    X(failed, 1, "a command failed (the commands after it did not run)")                           \
    X(usage, 2, "a usage error, or a question that has no answer")                                 \
    X(sign_in, 3, "the account server refused the sign-in")                                        \
    X(host, 4, "the host is not ready (host packages, HOME, the target directory)")                \
    X(server, 5, "a server could not be used (network, certificate, server error)")                \
    X(no_board, 6,                                                                                 \
      "no board in download mode, or the board was lost (the lab's side: cable, power, hub)")      \
    X(not_booted, 7, "the board was flashed but never booted (the image's or the board's side)")   \
    X(board_busy, 8, "the board is held by another run that is flashing it")

#define OSTRELLE_EXIT_STATUS_CONSTANT(name, value, meaning) inline constexpr int name = value;
OSTRELLE_EXIT_STATUSES(OSTRELLE_EXIT_STATUS_CONSTANT)
#undef OSTRELLE_EXIT_STATUS_CONSTANT

struct Row {
    int value;
    const char *meaning;
};

#define OSTRELLE_EXIT_STATUS_ROW(name, value, meaning) {value, meaning},
inline constexpr Row rows[] = {OSTRELLE_EXIT_STATUSES(OSTRELLE_EXIT_STATUS_ROW)};
#undef OSTRELLE_EXIT_STATUS_ROW

} // namespace exit_status
