"""Strategy-loop benchmark: a backtest's reads of every book, on pelarune and betfairlightweight.

The loop reads what a simple strategy reads from each book: the status, the in-play flag and
the publish time and, for every active runner, its selection id, last traded price, total
matched and best back and lay price and size. The same function runs over both libraries'
books (betfairlightweight in object mode), and both must give the same checksum.

For each file, in one run:
  replay+loop  the replay with the loop over each book as it comes, per book, both libraries
  loop alone   the loop over the books kept in a list, per book, both libraries
Then attribute-read costs (timeit, net of the bare name lookup) against betfairlightweight's
objects and against complex.real, the interpreter's own new-float member read.
Times are process CPU time (other processes on the machine do not count), best of --repeat, the
libraries (and the reads) taking turns so that a busy spell of the machine weighs on all alike.

Usage: bench_strategy.py [--repeat N] [--no-reads] [FILE ...]
Without FILE: generated one-market files with 2 and 10 runners (bench/generate.py --runners)
and the recorded files of tests/data.
"""

import argparse
import gc
import os
import sys
import time
import timeit
import warnings

import pelarune
from generate import generated
from bench_replay import bfl_stream, have_bfl

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECORDED = os.path.join(ROOT, "tests", "data")
DATA = os.path.join(ROOT, "bench", "data")


def generated_file(runners, updates=20000):
    return generated(f"strategy_{runners}_runners.json", markets=1, updates=updates,
                     runners=runners)


def default_files():
    files = [generated_file(2), generated_file(10)]
    for name in ("BASIC-1.132153978", "1.197931750"):
        path = os.path.join(RECORDED, name)
        if os.path.exists(path):
            files.append(path)
    return files


def strategy(books):
    """What a strategy reads from each book; the checksum proves both libraries read the same."""
    checksum = 0.0
    for book in books:
        status = book.status
        inplay = book.inplay
        publish_time = book.publish_time
        checksum += publish_time.second + (7.0 if inplay else 0.0) + (status == "OPEN")
        for runner in book.runners:
            if runner.status != "ACTIVE":
                continue
            selection_id = runner.selection_id
            last_price_traded = runner.last_price_traded
            total_matched = runner.total_matched
            ex = runner.ex
            backs = ex.available_to_back
            lays = ex.available_to_lay
            checksum += (selection_id % 97) + total_matched * 1e-6
            if last_price_traded is not None:
                checksum += last_price_traded
            if backs:
                best = backs[0]
                checksum += best.price + best.size * 1e-3
            if lays:
                best = lays[0]
                checksum += best.price + best.size * 1e-3
    return checksum


def timed(function, *args):
    """(process seconds, result) of one call."""
    start = time.process_time()
    result = function(*args)
    return time.process_time() - start, result


def pelarune_books(path):
    return pelarune.iter_prices_file(path)


def bfl_books(path):
    """betfairlightweight's books of a historical file in object mode, one at a time."""
    listener, lists = bfl_stream(path)
    processed = 0
    for market_books in lists:
        # A heartbeat line snaps the cache again; pelarune keeps no record for it.
        if listener.stream._updates_processed == processed:
            continue
        processed = listener.stream._updates_processed
        yield from market_books


def count_books(books):
    return sum(1 for _ in books)


def compare(path, repeat, use_bfl):
    """Best times per library: replay+loop, replay alone and loop alone, the libraries taking
    turns in every round so that a busy machine weighs on both alike; and each one's checksum
    and book count."""
    libraries = {"pelarune": pelarune_books}
    if use_bfl:
        libraries["bfl"] = bfl_books
    best, checksum, books = {}, {}, {}

    def note(key, seconds):
        best[key] = min(best.get(key, float("inf")), seconds)

    # betfairlightweight's replay takes seconds on the generated files: fewer rounds of it.
    for turn in range(repeat):
        for name, books_of in libraries.items():
            if name == "bfl" and turn >= max(1, repeat // 2):
                continue
            gc.collect()
            seconds, checksum[name] = timed(strategy, books_of(path))
            note((name, "replay+loop"), seconds)
            gc.collect()
            seconds, books[name] = timed(count_books, books_of(path))
            note((name, "replay"), seconds)
    # The kept books live only for this part, so that no collection walks them during a replay.
    kept = {name: list(books_of(path)) for name, books_of in libraries.items()}
    for _ in range(repeat):
        for name in libraries:
            gc.collect()
            note((name, "loop alone"), timed(strategy, kept[name])[0])
    return best, checksum, books


def strategy_table(files, repeat, use_bfl):
    print(f"{'strategy loop, per book':<24} {'books':>6} {'replay+loop':>12} "
          f"{'loop alone':>11} {'replay':>9}" + (
              f" | {'bfl r+l':>9} {'bfl loop':>9} {'bfl rep':>9} | {'r+l':>6} {'loop':>6} "
              f"{'replay':>6}  checksum" if use_bfl else ""))
    for path in files:
        best, checksum, books = compare(path, repeat, use_bfl)
        n = books["pelarune"]
        if n == 0:
            print(f"{os.path.basename(path):<24} no books")
            continue
        us = lambda name, what: f"{best[name, what] / n * 1e6:>7.2f}us"  # noqa: E731
        line = (f"{os.path.basename(path):<24} {n:>6} {us('pelarune', 'replay+loop'):>12} "
                f"{us('pelarune', 'loop alone'):>11} {us('pelarune', 'replay'):>9}")
        if use_bfl:
            ratio = lambda what: best["bfl", what] / best["pelarune", what]  # noqa: E731
            line += (f" | {us('bfl', 'replay+loop')} {us('bfl', 'loop alone')}"
                     f" {us('bfl', 'replay')} | {ratio('replay+loop'):>5.1f}x"
                     f" {1 / ratio('loop alone'):>5.2f}x {ratio('replay'):>5.1f}x  ")
            ours, theirs = checksum["pelarune"], checksum["bfl"]
            same = abs(ours - theirs) <= 1e-9 * max(1.0, abs(ours))
            line += "same" if same and books["bfl"] == n else (
                f"DIFFERENT ({ours!r} vs {theirs!r}, {books['bfl']} bfl books)")
        print(line)
    if use_bfl:
        print("(r+l and replay: betfairlightweight's time / pelarune's; loop: pelarune's /"
              " betfairlightweight's)")


def read_cost(statement, namespace, number=200000, repeat=3):
    """ns per read, net of the bare name lookup that the statement starts from."""
    base = statement.split(".")[0]
    timer = timeit.Timer(statement, globals=namespace)
    bare = timeit.Timer(base, globals=namespace)
    best = min(timer.repeat(repeat, number)) / number
    empty = min(bare.repeat(repeat, number)) / number
    return max(0.0, best - empty) * 1e9


def read_costs(reads, rounds=4):
    """read_cost of each (statement, namespace), the best of a few rounds taken in turn, so that
    a busy spell of the machine weighs on every read alike."""
    costs = [float("inf")] * len(reads)
    for _ in range(rounds):
        for i, (statement, namespace) in enumerate(reads):
            costs[i] = min(costs[i], read_cost(statement, namespace))
    return costs


# (label, statement, type made anew per read or None for a shared object) over a book `b`, its
# runner `r` and a level `p`.
READS = [
    ("book.runners", "b.runners", None),
    ("book.publish_time", "b.publish_time", None),
    ("book.market_definition", "b.market_definition", None),
    ("runner.ex", "r.ex", None),
    ("runner.status", "r.status", None),
    ("runner.ex.available_to_back", "r.ex.available_to_back", None),
    ("book.status", "b.status", str),
    ("book.inplay", "b.inplay", bool),
    ("book.publish_time_epoch", "b.publish_time_epoch", int),
    ("book.total_matched", "b.total_matched", float),
    ("runner.selection_id", "r.selection_id", int),
    ("runner.last_price_traded", "r.last_price_traded", float),
    ("runner.total_matched", "r.total_matched", float),
    ("price_size.price", "p.price", float),
    ("price_size.size", "p.size", float),
]


def interpreter_reads():
    """The interpreter's own member reads that make a new value of each type, where they exist:
    complex.real for a float and, from _testcapi's member test type, an int too large to be
    cached, a bool and an in-place str; {type: (statement, namespace)}."""
    reads = {float: ("c.real", {"c": complex(1.5, 2.5)})}
    try:
        import _testcapi
    except ImportError:
        return reads
    members = {"m": _testcapi._test_structmembersType_NewAPI(
        True, 1, 2, 3, 4, 5, 6, 12115648, 8, 23, 9.5, 10.25, "OPEN", 4495990919, 5)}
    for kind, statement in ((int, "m.T_LONG"), (bool, "m.T_BOOL"), (str, "m.T_STRING_INPLACE")):
        reads[kind] = (statement, members)
    return reads


def sample(books):
    """A late book with a runner that has a back price and a last traded price."""
    for book in reversed(books):
        for runner in book.runners:
            if runner.ex.available_to_back and runner.last_price_traded is not None:
                return {"b": book, "r": runner, "p": runner.ex.available_to_back[0]}
    raise SystemExit("no runner with a back price and a last traded price")


def reads_table(path, use_bfl):
    ours = sample(list(pelarune.iter_prices_file(path)))
    theirs = sample(list(bfl_books(path))) if use_bfl else None
    interpreter = interpreter_reads()
    reads = list(interpreter.values()) + [(statement, ours) for _, statement, _ in READS]
    if use_bfl:
        reads += [(statement, theirs) for _, statement, _ in READS]
    costs = read_costs(reads)
    reference = dict(zip(interpreter, costs))
    ours_cost = costs[len(interpreter):len(interpreter) + len(READS)]
    theirs_cost = costs[len(interpreter) + len(READS):]
    print(f"\nattribute reads on {os.path.basename(path)}, ns per read; the interpreter's own"
          " member reads that make a new value: "
          + ", ".join(f"{kind.__name__} {cost:.1f} ns" for kind, cost in reference.items()))
    print(f"{'attribute':<30} {'kind':<6} {'pelarune':>9}" + (
        f" {'bfl':>7} {'ratio':>6}" if use_bfl else "")
        + f" {'/complex.real':>14} {'/same type':>11}")
    for i, (label, _, new) in enumerate(READS):
        cost = ours_cost[i]
        line = f"{label:<30} {new.__name__ if new else 'shared':<6} {cost:>7.1f}ns"
        if use_bfl:
            line += f" {theirs_cost[i]:>5.1f}ns {cost / max(theirs_cost[i], 0.05):>5.1f}x"
        if new:
            line += f" {cost / reference[float]:>13.2f}x"
            if new in reference:
                line += f" {cost / reference[new]:>10.2f}x"
        print(line)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*")
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-bfl", action="store_true", help="skip betfairlightweight")
    parser.add_argument("--no-reads", action="store_true", help="skip the attribute reads")
    args = parser.parse_args(argv)
    # utcfromtimestamp warns on 3.12, in both libraries alike.
    warnings.simplefilter("ignore", DeprecationWarning)
    use_bfl = not args.no_bfl and have_bfl()
    files = args.files or default_files()
    strategy_table(files, args.repeat, use_bfl)
    if not args.no_reads:
        reads_table(files[min(1, len(files) - 1)], use_bfl)


if __name__ == "__main__":
    main(sys.argv[1:])
