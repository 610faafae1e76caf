"""Replay benchmark: time per book of a full replay against the work no replay can avoid.

For each file, in one run:
  replay      iterating a loaded file to the end (the load itself excluded), per book
  floor       per book: import datetime, utcfromtimestamp of its publish time, a new list;
              every book needs at least this, so it is what the replay is measured against
  end to end  load and full replay, against betfairlightweight's historical replay in object
              mode where that library is installed (books counted the same way)
Times are process CPU time (other processes on the machine do not count), best of --repeat.

Usage: bench_replay.py [--repeat N] [--no-bfl] [FILE ...]
Without FILE: a generated one-market file (bench/generate.py, seeded), a file of books in
which nothing changes after the first, and the recordings in ../shared/data when present.
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import time
import warnings

import pelarune

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SHARED_DATA = os.path.join(os.path.dirname(ROOT), "shared", "data")
GENERATED = os.path.join(ROOT, "bench", "data", "replay_one_market.json")
UNCHANGED = os.path.join(ROOT, "bench", "data", "replay_unchanged.json")


def generated_file():
    if not os.path.exists(GENERATED):
        os.makedirs(os.path.dirname(GENERATED), exist_ok=True)
        subprocess.run([sys.executable, os.path.join(ROOT, "bench", "generate.py"), "-o",
                        GENERATED, "--markets", "1", "--updates", "20000", "--seed", "20220419"],
                       check=True, stdout=subprocess.DEVNULL)
    return GENERATED


def unchanged_file(runners=14, books=20000):
    """A market with deep ladders, then records that change nothing: every Runner is reused."""
    if not os.path.exists(UNCHANGED):
        os.makedirs(os.path.dirname(UNCHANGED), exist_ok=True)
        pt = 1600000000000
        image = [{"id": i, "atb": [[round(1.01 + 0.01 * k, 2), 10 + k] for k in range(30)],
                  "atl": [[round(2 + 0.02 * k, 2), 5] for k in range(30)],
                  "trd": [[round(1.5 + 0.01 * k, 2), 100] for k in range(50)]}
                 for i in range(1, runners + 1)]
        definition = {
            "betDelay": 0, "bettingType": "ODDS", "bspMarket": False, "bspReconciled": False,
            "complete": True, "crossMatching": True, "discountAllowed": True, "eventId": "1",
            "eventTypeId": "7", "inPlay": False, "marketBaseRate": 5,
            "numberOfActiveRunners": runners, "numberOfWinners": 1, "persistenceEnabled": True,
            "regulators": ["MR_INT"], "runnersVoidable": False, "timezone": "Europe/London",
            "turnInPlayEnabled": True, "version": 1, "status": "OPEN", "marketType": "WIN",
            "marketTime": "2021-03-01T14:30:00.000Z", "openDate": "2021-03-01T14:30:00.000Z",
            "runners": [{"id": i, "sortPriority": i, "status": "ACTIVE"}
                        for i in range(1, runners + 1)],
        }
        with open(UNCHANGED, "w") as out:
            first = {"id": "1.5", "img": True, "marketDefinition": definition, "rc": image}
            out.write(json.dumps({"op": "mcm", "pt": pt, "mc": [first]}) + "\n")
            for k in range(1, books):
                out.write(json.dumps({"op": "mcm", "pt": pt + 100 * k,
                                      "mc": [{"id": "1.5", "rc": []}]}) + "\n")
    return UNCHANGED


def default_files():
    files = [generated_file(), unchanged_file()]
    for name in ("BASIC-1.132153978", "BASIC-1.132153978.gz", "1.197931750"):
        path = os.path.join(SHARED_DATA, name)
        if os.path.exists(path):
            files.append(path)
    return files


def best_of(repeat, run):
    best = float("inf")
    for _ in range(repeat):
        gc.collect()
        best = min(best, run())
    return best


def replay_seconds(path):
    iterator = pelarune.iter_prices_file(path)
    start = time.process_time()
    for _ in iterator:
        pass
    return time.process_time() - start


def floor_seconds(publish_times):
    start = time.process_time()
    for pt in publish_times:
        import datetime

        datetime.datetime.utcfromtimestamp(pt / 1000.0)
        []
    return time.process_time() - start


def end_to_end_seconds(path):
    start = time.process_time()
    count = 0
    for _ in pelarune.iter_prices_file(path):
        count += 1
    return time.process_time() - start


def bfl_seconds(path):
    import betfairlightweight
    from betfairlightweight import StreamListener

    start = time.process_time()
    client = betfairlightweight.APIClient("username", "password", app_key="app_key")
    listener = StreamListener(max_latency=None)
    stream = client.streaming.create_historical_generator_stream(file_path=path,
                                                                 listener=listener)
    count = 0
    for market_books in stream.get_generator()():
        count += len(market_books)
    return time.process_time() - start, count


def have_bfl():
    try:
        import betfairlightweight  # noqa: F401
    except ImportError:
        return False
    return True


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("files", nargs="*")
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--no-bfl", action="store_true", help="skip betfairlightweight")
    args = parser.parse_args(argv)
    # utcfromtimestamp warns on 3.12, in the replay and in the floor loop alike.
    warnings.simplefilter("ignore", DeprecationWarning)
    use_bfl = not args.no_bfl and have_bfl()

    print(f"{'file':<28} {'books':>6} {'replay':>9} {'floor':>8} {'ratio':>6}"
          + (f" {'e2e':>9} {'bfl e2e':>9} {'speedup':>8}" if use_bfl else ""))
    for path in args.files or default_files():
        books = list(pelarune.iter_prices_file(path))
        publish_times = [book.publish_time_epoch for book in books]
        del books
        n = len(publish_times)
        if n == 0:
            print(f"{os.path.basename(path):<28} no books")
            continue
        replay = best_of(args.repeat, lambda: replay_seconds(path)) / n
        floor = best_of(args.repeat, lambda: floor_seconds(publish_times)) / n
        line = (f"{os.path.basename(path):<28} {n:>6} {replay * 1e6:>7.2f}us {floor * 1e6:>6.2f}us"
                f" {replay / floor:>5.2f}x")
        if use_bfl and not path.endswith((".gz", ".gzip")):
            ours = best_of(args.repeat, lambda: end_to_end_seconds(path))
            theirs, bfl_books = min(bfl_seconds(path) for _ in range(max(1, args.repeat // 3)))
            line += f" {ours * 1e3:>7.1f}ms {theirs * 1e3:>7.1f}ms {theirs / ours:>7.1f}x"
            if bfl_books != n:
                line += f"  (betfairlightweight gave {bfl_books} books)"
        print(line)


if __name__ == "__main__":
    main(sys.argv[1:])
