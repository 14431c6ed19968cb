#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
# The CPU time of each thread of every process named Quorvel, as last seen before it ended: run
# it beside bench_window_flood (which runs the program as "Quorvel") to see which thread a cost
# is in. It samples /proc every 200 ms, so the last 200 ms of a thread may be missing; that is
# the same for every run. Ends when the file given with --stop exists, or after --seconds.
import argparse
import os
import time


def threads(pid):
    found = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        name = stat[stat.index("(") + 1 : stat.rindex(")")]
        fields = stat[stat.rindex(")") + 2 :].split()
        found[int(tid)] = (name, int(fields[11]), int(fields[12]))  # utime, stime in ticks
    return found


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--stop", default="/tmp/thread_cpu.stop")
    parser.add_argument("--seconds", type=float, default=300)
    args = parser.parse_args()
    tick = os.sysconf("SC_CLK_TCK")
    seen = {}
    end = time.time() + args.seconds
    while time.time() < end and not os.path.exists(args.stop):
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open(f"/proc/{entry}/comm") as f:
                    if f.read().strip() != "Quorvel":
                        continue
                seen.setdefault(int(entry), {}).update(threads(entry))
            except OSError:
                pass
        time.sleep(0.2)
    for pid, found in seen.items():
        total = sum(u + s for _, u, s in found.values())
        print(f"process {pid}: {total / tick:.2f} CPU s")
        for tid, (name, user, system) in sorted(found.items(), key=lambda t: -(t[1][1] + t[1][2])):
            if user + system:
                print(f"  thread {tid:>7} {name:16} user {user / tick:.2f} s, system {system / tick:.2f} s")


if __name__ == "__main__":
    main()
