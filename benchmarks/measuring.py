"""What the benchmarks measure with: the best time of a call, and the peak memory;
and where their tables go."""

import time


def best_seconds(call, runs):
    """The best of `runs` calls, after one that pays the first pages and one-time costs."""
    call()
    best = float("inf")
    for _ in range(runs):
        start = time.perf_counter()
        call()
        best = min(best, time.perf_counter() - start)
    return best


def peak_bytes():
    """This process's peak resident memory: VmHWM, which, unlike ru_maxrss, is not
    inherited from the parent process."""
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmHWM"))


def publish(table, output):
    """Prints a benchmark's table and writes it to `output`."""
    print(table)
    output.parent.mkdir(parents=True, exist_ok=True)
    output.write_text(table)
    print(f"wrote {output}")
