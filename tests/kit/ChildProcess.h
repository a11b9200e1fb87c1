// Ending the child processes that tests and benchmarks start, by their
// process id.
#pragma once

#include <sys/types.h>

// Waits up to timeoutMs for the child to end, then kills it (SIGKILL); the
// child is reaped either way. Its exit status, or -1 when it did not exit
// of itself (killed, or ended by a signal).
int reapChild(pid_t pid, int timeoutMs);

// SIGTERM, then as reapChild with graceMs.
int stopChild(pid_t pid, int graceMs);
