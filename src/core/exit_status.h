// The exit statuses of runs with commands. A run without arguments keeps
// the interactive program's own: 0 after the prompt, 1 and 255 (-1) for the
// set-up failures.
#pragma once

namespace exit_status {

inline constexpr int ok = 0;      // every command succeeded
inline constexpr int failed = 1;  // a command failed; the commands after it did not run
inline constexpr int usage = 2;   // a usage error, or a question nobody can answer
inline constexpr int sign_in = 3; // the account server refused the sign-in
inline constexpr int host = 4;    // the host is not ready (packages, target directory)
inline constexpr int server = 5;  // a server could not be used (network, certificate, error)
// Flashing results a board farm tells apart (flash and the commands that
// flash): the lab's side, the image's side, and a board another run holds.
inline constexpr int no_board = 6;   // no board in download mode, or the board was lost
inline constexpr int not_booted = 7; // flashed, but the board never booted
inline constexpr int board_busy = 8; // another run holds the board (its lock)

} // namespace exit_status
