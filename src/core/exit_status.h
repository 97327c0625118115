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

} // namespace exit_status
