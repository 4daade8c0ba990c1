#!/usr/bin/env python3
"""Paired timing: every round runs each command once, in turn, so that the slow phases of
a noisy machine fall on all of them alike, each started with nothing left to write back.
Each round starts one command further on, so that every command follows every other as
often: here the same floor ran 9 % slower after zorbel (a writer) than after cat.
Prints the median wall and CPU (user + system) time of each command and its wall ratios
to the first two commands (cat and the floor in bench/run.sh).

    bench/paired.py [--fresh FILE]... ROUNDS LABEL COMMAND COMMAND [COMMAND ...]

--fresh FILE: the file is removed before every command, outside the timing. A command that
writes its standard output to FILE then starts with a new file, as a first run does,
instead of its shell emptying the one of the round before: on a file system that frees
blocks slowly (ext4 with online discard here: about 0.4 ms per MB, 38 ms for a 99 MB
trace) that wait would be timed as the command's own.
"""
import os
import resource
import statistics
import subprocess
import sys
import time

args = sys.argv[1:]
fresh = []
while args[:1] == ["--fresh"]:
    fresh.append(args[1])
    args = args[2:]
rounds, label, commands = int(args[0]), args[1], args[2:]
wall = {c: [] for c in commands}
cpu = {c: [] for c in commands}
for round_number in range(rounds + 1):
    turn = round_number % len(commands)
    for command in commands[turn:] + commands[:turn]:
        for name in fresh:
            if os.path.lexists(name):
                os.remove(name)
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
