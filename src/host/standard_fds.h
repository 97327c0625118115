// The three standard descriptors, made sure of before anything else runs.
#pragma once

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file the program opens later (the sign-in body, a list, a log) takes
// one of their numbers and receives the program's messages or is read as
// its input. Harmless when all three are open.
void open_closed_standard_fds(void);
