"""Replay benchmark: time per book of a full replay against the work no replay can avoid.

For each file, in one run:
  replay      iterating a loaded file to the end (the load itself excluded), per book
  floor       per book: import datetime, utcfromtimestamp of its publish time, a new list;
              every book needs at least this, so it is what the replay is measured against
  end to end  load and full replay, against betfairlightweight's historical replay in object
              mode where that library is installed (books counted the same way)
and, for MarketBook.to_dict():
  to_dict     per book, a replay calling to_dict() on every book, less the replay alone
  python      per book, the same dicts built in Python from the objects' attributes
  end to end  load, replay and to_dict() of every book, against betfairlightweight's historical
              replay in lightweight mode (StreamListener(max_latency=None, lightweight=True)),
              which yields the same kind of dicts
Times are process CPU time (other processes on the machine do not count), best of --repeat.

Usage: bench_replay.py [--repeat N] [--no-bfl] [FILE ...]
Without FILE: a generated one-market file (bench/generate.py, seeded), a file of books in
which nothing changes after the first, and the recorded files of tests/data.
"""

import argparse
import gc
import json
import os
import sys
import time
import warnings

import pelarune
from generate import generated

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
RECORDED = os.path.join(ROOT, "tests", "data")
UNCHANGED = os.path.join(ROOT, "bench", "data", "replay_unchanged.json")


def generated_file():
    return generated("replay_one_market.json", markets=1, updates=20000, seed=20220419)


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
        path = os.path.join(RECORDED, name)
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


def to_dict_replay_seconds(path):
    iterator = pelarune.iter_prices_file(path)
    start = time.process_time()
    for book in iterator:
        book.to_dict()
    return time.process_time() - start


def python_to_dict(book):
    """What to_dict() returns, built in Python from the objects' attributes."""
    def pairs(price_sizes):
        return [{"price": p.price, "size": p.size} for p in price_sizes]

    def runner_dict(r):
        ex, sp = r.ex, r.sp
        return {
            "selectionId": r.selection_id, "handicap": r.handicap, "status": r.status,
            "adjustmentFactor": r.adjustment_factor, "lastPriceTraded": r.last_price_traded,
            "totalMatched": r.total_matched, "removalDate": r.removal_date,
            "ex": {"availableToBack": pairs(ex.available_to_back),
                   "availableToLay": pairs(ex.available_to_lay),
                   "tradedVolume": pairs(ex.traded_volume)},
            "sp": {"nearPrice": sp.near_price, "farPrice": sp.far_price,
                   "actualSP": sp.actual_sp, "backStakeTaken": pairs(sp.back_stake_taken),
                   "layLiabilityTaken": pairs(sp.lay_liability_taken)},
        }

    result = {
        "marketId": book.market_id, "status": book.status, "betDelay": book.bet_delay,
        "bspReconciled": book.bsp_reconciled, "complete": book.complete,
        "crossMatching": book.cross_matching, "inplay": book.inplay,
        "numberOfActiveRunners": book.number_of_active_runners,
        "numberOfRunners": book.number_of_runners, "numberOfWinners": book.number_of_winners,
        "runnersVoidable": book.runners_voidable, "totalMatched": book.total_matched,
        "version": book.version, "lastMatchTime": book.last_match_time,
        "publishTime": book.publish_time_epoch,
        "runners": [runner_dict(r) for r in book.runners],
    }
    d = book.market_definition
    if d is not None:
        runners = []
        for r in d.runners:
            entry = {"id": r.selection_id, "sortPriority": r.sort_priority, "status": r.status}
            optional = (("adjustmentFactor", r.adjustment_factor), ("name", r.name),
                        ("hc", r.handicap if r.handicap != 0.0 else None),
                        ("removalDate", r.removal_date), ("bsp", r.bsp))
            entry.update((key, value) for key, value in optional if value is not None)
            runners.append(entry)
        # The definition's times as the stream wrote them are not attributes: isoformat stands in.
        text = lambda t: None if t is None else t.isoformat() + "Z"  # noqa: E731
        result["marketDefinition"] = {
            "betDelay": d.bet_delay, "bettingType": d.betting_type, "bspMarket": d.bsp_market,
            "bspReconciled": d.bsp_reconciled, "complete": d.complete,
            "countryCode": d.country_code, "crossMatching": d.cross_matching,
            "discountAllowed": d.discount_allowed, "eventId": d.event_id,
            "eventName": d.event_name, "eventTypeId": d.event_type_id, "inPlay": d.in_play,
            "marketBaseRate": d.market_base_rate, "marketTime": text(d.market_time),
            "marketType": d.market_type, "name": d.name,
            "numberOfActiveRunners": d.number_of_active_runners,
            "numberOfWinners": d.number_of_winners, "openDate": text(d.open_date),
            "persistenceEnabled": d.persistence_enabled, "regulators": d.regulators,
            "runners": runners, "runnersVoidable": d.runners_voidable, "status": d.status,
            "suspendTime": text(d.suspend_time), "timezone": d.timezone,
            "turnInPlayEnabled": d.turn_in_play_enabled, "venue": d.venue, "version": d.version,
        }
    return result


def python_to_dict_seconds(books):
    start = time.process_time()
    for book in books:
        python_to_dict(book)
    return time.process_time() - start


def to_dict_end_to_end_seconds(path):
    start = time.process_time()
    for book in pelarune.iter_prices_file(path):
        book.to_dict()
    return time.process_time() - start


def bfl_stream(path, lightweight=False):
    """betfairlightweight's historical replay of a file: its listener, and a generator of the
    lists of books it yields line by line."""
    import betfairlightweight
    from betfairlightweight import StreamListener

    client = betfairlightweight.APIClient("username", "password", app_key="app_key")
    listener = StreamListener(max_latency=None, lightweight=lightweight)
    stream = client.streaming.create_historical_generator_stream(file_path=path,
                                                                 listener=listener)
    return listener, stream.get_generator()()


def bfl_seconds(path, lightweight=False):
    start = time.process_time()
    count = 0
    for market_books in bfl_stream(path, lightweight)[1]:
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

    files = args.files or default_files()
    print(f"{'file':<28} {'books':>6} {'replay':>9} {'floor':>8} {'ratio':>6}"
          + (f" {'e2e':>9} {'bfl e2e':>9} {'speedup':>8}" if use_bfl else ""))
    for path in files:
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

    print(f"\n{'to_dict':<28} {'books':>6} {'to_dict':>9} {'python':>9} {'ratio':>6}"
          + (f" {'e2e':>9} {'bfl lw e2e':>10} {'speedup':>8}" if use_bfl else ""))
    for path in files:
        books = list(pelarune.iter_prices_file(path))
        n = len(books)
        if n == 0:
            continue
        replay = best_of(args.repeat, lambda: replay_seconds(path))
        ours = (best_of(args.repeat, lambda: to_dict_replay_seconds(path)) - replay) / n
        python = best_of(max(1, args.repeat // 3), lambda: python_to_dict_seconds(books)) / n
        del books
        line = (f"{os.path.basename(path):<28} {n:>6} {ours * 1e6:>7.2f}us {python * 1e6:>7.2f}us"
                f" {python / ours:>5.1f}x")
        if use_bfl and not path.endswith((".gz", ".gzip")):
            ours = best_of(args.repeat, lambda: to_dict_end_to_end_seconds(path))
            theirs, bfl_books = min(bfl_seconds(path, lightweight=True)
                                    for _ in range(max(1, args.repeat // 3)))
            line += f" {ours * 1e3:>7.1f}ms {theirs * 1e3:>8.1f}ms {theirs / ours:>7.2f}x"
            if bfl_books != n:
                line += f"  (betfairlightweight gave {bfl_books} books)"
        print(line)


if __name__ == "__main__":
    main(sys.argv[1:])
