// The adb server this program may have to start. adb starts its server on
// first use and leaves it running, with a notice on standard error; the
// program starts it itself instead, quietly (the notice goes to the run's
// log), and only when none is listening, so that it can stop at its end the
// one it started and leave alone one that was running before.
#pragma once

#include <string>

namespace adb_server {

// Before the program's first adb call: when no adb server is listening,
// starts one ("adb start-server", its output into the log) and remembers
// that it did. Looks once per run.
void ensure(void);

// At the end of the run: "adb kill-server" when ensure started the server.
void stop_if_started(void);

// The TCP port the adb server listens on: ANDROID_ADB_SERVER_PORT when it
// holds a port number (as adb reads it), else 5037; ADB_SERVER_SOCKET of the
// form tcp:PORT or tcp:localhost:PORT names it too. 0 when the server is
// named in a way this program cannot look at (a socket that is not TCP) or
// lies on another host.
int port(void);

// Whether something accepts connections on 127.0.0.1:port (a read-only
// look: a connection opened and closed, nothing sent).
bool listening(int port);

// Starts over as at the program's start: nothing looked at, nothing
// started. check answers whether a server listens on a port (nullptr: the
// look of listening); the command runner's fakes use it.
void reset(bool (*check)(int port));

} // namespace adb_server
