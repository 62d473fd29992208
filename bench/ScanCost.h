// What the automatic scan spends on a port with no adapter behind it: the
// real port code and the real walk, over pseudo-terminals nobody answers,
// listed through a stand-in for /sys/class/tty.
#pragma once

// Wall seconds per port, or -1 when the walk could not be set up (or found
// an adapter where there is none).
double scanSecondsPerPort(bool usb, int ports);
