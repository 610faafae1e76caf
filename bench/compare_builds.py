"""Replay time of several builds of pelarune, taking turns: each build's ratio to the first.

Each DIR holds a built pelarune library (the .so), for example an older commit's:

  git worktree add /tmp/old <commit>
  cmake -S /tmp/old -B /tmp/old/build -G Ninja -DCMAKE_BUILD_TYPE=Release \\
      -DPython_EXECUTABLE=$PWD/.venv/bin/python && ninja -C /tmp/old/build

(then pass /tmp/old/build). A round measures every build once, each in a fresh process, in
turn (the order reversed every other round, so that a busy spell weighs on all alike); a
measurement is the process CPU time to replay FILE REPEAT times, the best of three. Printed per
file: the first build's best time, then for each other build the median of the per-round ratios
with their interquartile range, and the ratio of the best times.

Usage: compare_builds.py [--rounds N] DIR [DIR ...] -- FILE[:REPEAT] [FILE[:REPEAT] ...]
"""

import argparse
import glob
import json
import os
import statistics
import subprocess
import sys
import time
import warnings


def measure(directory, specs):
    """In a child process: the best of three CPU times per file, with the library in directory."""
    warnings.simplefilter("ignore", DeprecationWarning)  # utcfromtimestamp, on 3.12
    sys.path.insert(0, directory)
    import pelarune

    if os.path.dirname(os.path.abspath(pelarune.__file__)) != os.path.abspath(directory):
        sys.exit(f"pelarune came from {pelarune.__file__}, not {directory}")
    times = {}
    for path, repeat in specs:
        best = None
        for _ in range(3):
            start = time.process_time()
            for _ in range(repeat):
                for _ in pelarune.iter_prices_file(path):
                    pass
            seconds = time.process_time() - start
            best = seconds if best is None else min(best, seconds)
        times[path] = best
    return times


def parse_spec(text):
    path, _, repeat = text.rpartition(":")
    if not path or not repeat.isdigit():
        return text, 1
    return path, int(repeat)


def main():
    if len(sys.argv) > 2 and sys.argv[1] == "--child":
        specs = json.loads(sys.argv[3])
        print(json.dumps(measure(sys.argv[2], specs)))
        return
    if "--" not in sys.argv:
        sys.exit(__doc__)
    split = sys.argv.index("--")
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("dirs", nargs="+")
    args = parser.parse_args(sys.argv[1:split])
    specs = [parse_spec(text) for text in sys.argv[split + 1:]]
    for directory in args.dirs:
        if not glob.glob(os.path.join(directory, "pelarune*.so")):
            sys.exit(f"no pelarune library in {directory}")
    results = {d: [] for d in args.dirs}
    for n in range(args.rounds):
        for directory in args.dirs if n % 2 == 0 else args.dirs[::-1]:
            out = subprocess.run([sys.executable, __file__, "--child", directory,
                                  json.dumps(specs)], capture_output=True, text=True, check=True)
            results[directory].append(json.loads(out.stdout))
    base = args.dirs[0]
    for path, _ in specs:
        best_base = min(r[path] for r in results[base])
        line = [os.path.basename(path), f"{best_base:.4f} s"]
        for directory in args.dirs[1:]:
            ratios = sorted(r[path] / b[path] for r, b in zip(results[directory], results[base]))
            quartile = [ratios[int(q * (len(ratios) - 1))] for q in (0.25, 0.75)]
            best = min(r[path] for r in results[directory]) / best_base
            line.append(f"{directory}: {statistics.median(ratios):.3f} "
                        f"[{quartile[0]:.3f}-{quartile[1]:.3f}] best {best:.3f}")
        print("   ".join(line))


if __name__ == "__main__":
    main()
