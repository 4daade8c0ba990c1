#!/usr/bin/env python3
"""Paired timing: every round runs each command once, in turn, so that the slow phases of
a noisy machine fall on all of them alike, each started with nothing left to write back.
Prints the median wall and CPU (user + system) time of each command and its wall ratios
to the first two commands (cat and the floor in bench/run.sh).

    bench/paired.py ROUNDS LABEL COMMAND COMMAND [COMMAND ...]
"""
import os
import resource
import statistics
import subprocess
import sys
import time

rounds, label, commands = int(sys.argv[1]), sys.argv[2], sys.argv[3:]
wall = {c: [] for c in commands}
cpu = {c: [] for c in commands}
for round_number in range(rounds + 1):
    for command in commands:
        # The writes of the command before are on the disk first: otherwise whichever
        # command follows a large writer waits for that writer's data.
        os.sync()
        # getrusage counts in microseconds, where os.times counts in clock ticks (10 ms).
        before, start = resource.getrusage(resource.RUSAGE_CHILDREN), time.perf_counter()
        subprocess.run(command, shell=True, check=True)
        elapsed, after = time.perf_counter() - start, resource.getrusage(resource.RUSAGE_CHILDREN)
        if round_number == 0:
            continue  # warm-up: page cache and binaries in memory
        wall[command].append(elapsed)
        cpu[command].append(after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime)
first, second = (statistics.median(wall[c]) for c in commands[:2])
for command in commands:
    w, c = statistics.median(wall[command]), statistics.median(cpu[command])
    print(f"{label:<12} {w * 1000:8.1f} ms  x{w / first:5.2f} cat  x{w / second:5.2f} floor  (cpu {c * 1000:6.0f} ms)  {command}")
