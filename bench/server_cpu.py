"""CPU time of another process, from /proc, to the nanosecond where the
kernel tells it.

/proc/PID/stat counts in clock ticks (10 ms), too coarse to tell two
servers apart by a few per cent in a second's run; each thread's
/proc/PID/task/TID/schedstat has its time on a CPU in nanoseconds. A thread
that has ended is no longer listed, so the sum is exact only for servers
whose threads live as long as they do (uvicorn's event loop and its
executor's workers do).
"""

import os

CLOCK_TICKS = os.sysconf("SC_CLK_TCK")
HAS_SCHEDSTAT = os.path.exists("/proc/self/schedstat")


def cpu_seconds(pid):
    """User and system CPU seconds of process `pid` so far, all its threads;
    None once it is gone."""
    if HAS_SCHEDSTAT:
        # A thread that ends between the listing and its read: list again.
        for _ in range(3):
            try:
                total = 0
                for tid in os.listdir(f"/proc/{pid}/task"):
                    with open(f"/proc/{pid}/task/{tid}/schedstat", "rb") as schedstat:
                        total += int(schedstat.read().split()[0])
                return total / 1e9
            except FileNotFoundError:
                continue
            except OSError:
                return None
        return None
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat:
            fields = stat.read().rpartition(b")")[2].split()
    except OSError:
        return None
    # utime and stime, fields 14 and 15 of proc(5), counting from the pid.
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS
