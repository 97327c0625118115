// Pauses of the flashing sequences (settling time before each tool step and
// between the boot polls).
#pragma once

// Sleeps for seconds. The test-bed build multiplies the time by the decimal
// factor in OSTRELLE_PAUSE_SCALE (for example 0.02), so its scenarios keep
// every step and poll but run in moments; the real program ignores it.
void pause_for(unsigned seconds);
