#!/usr/bin/env python3
"""Writes a recorded-looking exchange stream file for benchmarks and demos.

Each market runs through a life like a real recording: an image with full ladders, ladder
deltas with removals, trades, starting-price fields, heartbeats, a suspension, the turn in
play, and a closing definition with starting prices and winner. Markets follow one another
until the size or market count asked for is reached. The output depends only on the
arguments: the same seed gives the same bytes. Standard library only.

    python3 bench/generate.py --size-mb 200 --gzip -o bench/data/stream.json
"""

import argparse
import base64
import datetime
import gzip
import os
import random
import shutil
import subprocess
import sys

# The exchange's price ladder: (up to this price, step), in hundredths.
LADDER_BANDS = [(200, 1), (300, 2), (400, 5), (600, 10), (1000, 20), (2000, 50), (3000, 100),
                (5000, 200), (10000, 500), (100000, 1000)]


def build_ticks():
    ticks = [101]
    for limit, step in LADDER_BANDS:
        while ticks[-1] < limit:
            ticks.append(ticks[-1] + step)
    return ticks


TICKS = build_ticks()
# Prices as the stream writes them: 8.8, 1.01, 1000 (no trailing zeros, no ".0").
PRICE_TEXT = [("%d.%02d" % divmod(t, 100)).rstrip("0").rstrip(".") for t in TICKS]
PRICE_VALUE = [t / 100 for t in TICKS]


def tick_of(price):
    """Index of the nearest tick at or below price."""
    lo, hi, target = 0, len(TICKS) - 1, price * 100
    while lo < hi:
        mid = (lo + hi + 1) // 2
        if TICKS[mid] <= target:
            lo = mid
        else:
            hi = mid - 1
    return lo


def money(x):
    """A stake or volume in pounds and pence, written the way the stream writes it."""
    text = "%.2f" % x
    return text.rstrip("0").rstrip(".") if "." in text else text


HORSE_WORDS = ["Brother", "Match", "Fire", "Star", "Symbolic", "Panther", "Pink", "Penelope",
               "Hymn", "Dudes", "Hazy", "Manor", "Bonnie", "Gals", "Hat", "Sandgate", "Walter",
               "Golden", "Storm", "Lady", "King", "Silver", "Arrow", "Dancer", "Royal", "Glory",
               "Midnight", "Express", "Lucky", "Charm", "Desert", "Rose", "Thunder", "Bay",
               "Northern", "Light", "Sea", "Breeze", "Iron", "Duke", "Velvet", "Echo"]
VENUES = [("Hamilton", "GB", "Europe/London"), ("Sheffield", "GB", "Europe/London"),
          ("Ascot", "GB", "Europe/London"), ("Leopardstown", "IE", "Europe/Dublin"),
          ("Flemington", "AU", "Australia/Melbourne"), ("Romford", "GB", "Europe/London"),
          ("Belmont Park", "US", "US/Eastern"), ("Kempton", "GB", "Europe/London")]
RACE_NAMES = ["1m Hcap", "6f Mdn Stks", "OR 280m", "A4 480m", "2m4f Hcap Chs", "7f Nov Stks"]


def iso(epoch_ms):
    moment = datetime.datetime(1970, 1, 1) + datetime.timedelta(milliseconds=epoch_ms)
    return moment.strftime("%Y-%m-%dT%H:%M:%S.000Z")


class Runner:
    __slots__ = ("selection_id", "name", "sort_priority", "adjustment", "best_back", "back",
                 "lay", "traded", "ltp", "tv", "status", "removal_date", "bsp", "near")

    def __init__(self, rng, selection_id, name, sort_priority, probability):
        self.selection_id = selection_id
        self.name = name
        self.sort_priority = sort_priority
        self.adjustment = round(probability * 100, 2)
        self.status = "ACTIVE"
        self.removal_date = None
        self.bsp = None
        fair = min(max(1 / probability, 1.02), 900)
        self.best_back = max(0, tick_of(fair) - rng.randint(0, 2))
        self.near = fair
        # tick index -> size; back holds ticks <= best_back, lay ticks > best_back.
        self.back, self.lay, self.traded = {}, {}, {}
        for depth in range(rng.randint(8, 30)):
            tick = self.best_back - depth
            if tick < 0:
                break
            if rng.random() < 0.8:
                self.back[tick] = round(rng.lognormvariate(2.8, 1.3), 2)
        for depth in range(1, rng.randint(8, 30)):
            tick = self.best_back + depth
            if tick >= len(TICKS):
                break
            if rng.random() < 0.8:
                self.lay[tick] = round(rng.lognormvariate(2.6, 1.3), 2)
        # Resting orders far from the market, as on every real ladder.
        self.back[0] = round(rng.uniform(1000, 14000), 2)
        self.lay[len(TICKS) - 1] = round(rng.uniform(2, 20), 2)
        self.ltp = None
        self.tv = 0.0


class Market:
    def __init__(self, rng, market_number, start_ms, updates, runner_count=None):
        self.rng = rng
        self.market_id = "1.%d" % (190000000 + market_number * 7919 + rng.randint(0, 7000))
        self.event_id = str(31000000 + rng.randint(0, 999999))
        self.greyhounds = rng.random() < 0.3
        venue, self.country, self.timezone = rng.choice(VENUES)
        self.venue = venue
        self.name = rng.choice(RACE_NAMES)
        self.event_name = "%s %s" % (venue[:3] if self.greyhounds else venue, iso(start_ms)[5:10])
        self.open_ms = start_ms
        # Scheduled for about when the updates before the off will have run (1.3 s apart).
        self.market_ms = start_ms + updates * 1000 // 60000 * 60000
        self.version = 4400000000 + rng.randint(0, 99999999)
        count = rng.randint(6, 14) if not self.greyhounds else 6
        if runner_count:  # every one of them runs: no non-runner is withdrawn below
            count = runner_count
        weights = [rng.lognormvariate(0, 0.9) for _ in range(count)]
        book = rng.uniform(1.0, 1.08)
        weights.sort(reverse=True)
        total = sum(weights)
        used_ids = set()
        self.runners = []
        for i, weight in enumerate(weights):
            selection_id = rng.randint(100000, 49999999)
            while selection_id in used_ids:
                selection_id = rng.randint(100000, 49999999)
            used_ids.add(selection_id)
            words = rng.sample(HORSE_WORDS, rng.randint(2, 3))
            name = " ".join(words)
            if self.greyhounds:
                name = "%d. %s" % (i + 1, name)
            self.runners.append(Runner(rng, selection_id, name, i + 1, weight / total * book))
        if not runner_count and not self.greyhounds and count > 7 and rng.random() < 0.4:
            removed = self.runners[-1]
            removed.status = "REMOVED"
            removed.removal_date = iso(start_ms - rng.randint(1, 20) * 3600000)
        self.status = "OPEN"
        self.in_play = False
        self.bet_delay = 0
        self.bsp_reconciled = False
        self.settled_ms = None
        self.tv = 0.0

    def active(self):
        return [r for r in self.runners if r.status == "ACTIVE"]

    def definition(self):
        runners = []
        for r in self.runners:
            parts = []
            if not self.greyhounds:
                parts.append('"adjustmentFactor":%s' % money(r.adjustment))
            parts.append('"status":"%s"' % r.status)
            if r.removal_date:
                parts.append('"removalDate":"%s"' % r.removal_date)
            parts.append('"sortPriority":%d' % r.sort_priority)
            # The starting price stays null until the exchange reconciles it at the off.
            parts.append('"bsp":%s' % ("null" if r.bsp is None else money(r.bsp)))
            parts.append('"id":%d' % r.selection_id)
            parts.append('"name":"%s"' % r.name)
            runners.append("{" + ",".join(parts) + "}")
        active = sum(1 for r in self.runners if r.status == "ACTIVE")
        fields = [
            '"bspMarket":true', '"turnInPlayEnabled":%s' % ("false" if self.greyhounds else "true"),
            '"persistenceEnabled":%s' % ("false" if self.greyhounds else "true"),
            '"marketBaseRate":5', '"eventId":"%s"' % self.event_id,
            '"eventTypeId":"%s"' % ("4339" if self.greyhounds else "7"),
            '"numberOfWinners":1', '"bettingType":"ODDS"', '"marketType":"WIN"',
            '"marketTime":"%s"' % iso(self.market_ms), '"suspendTime":"%s"' % iso(self.market_ms),
            '"bspReconciled":%s' % ("true" if self.bsp_reconciled else "false"),
            '"complete":true', '"inPlay":%s' % ("true" if self.in_play else "false"),
            '"crossMatching":true', '"runnersVoidable":false',
            '"numberOfActiveRunners":%d' % (0 if self.status == "CLOSED" else active),
            '"betDelay":%d' % self.bet_delay, '"status":"%s"' % self.status]
        if self.settled_ms is not None:
            fields.append('"settledTime":"%s"' % iso(self.settled_ms))
        fields += [
            '"runners":[%s]' % ",".join(runners), '"regulators":["MR_INT"]',
            '"venue":"%s"' % self.venue, '"countryCode":"%s"' % self.country,
            '"discountAllowed":true', '"timezone":"%s"' % self.timezone,
            '"openDate":"%s"' % iso(self.open_ms), '"version":%d' % self.version,
            '"priceLadderDefinition":{"type":"CLASSIC"}', '"name":"%s"' % self.name,
            '"eventName":"%s"' % self.event_name]
        self.version += self.rng.randint(1, 5000)
        return '"marketDefinition":{%s}' % ",".join(fields)


def ladder(levels):
    return ",".join("[%s,%s]" % (PRICE_TEXT[t], money(s)) for t, s in levels)


def full_runner(r):
    """A runner's whole state, for an image."""
    parts = ['"atb":[%s]' % ladder(sorted(r.back.items(), reverse=True)),
             '"atl":[%s]' % ladder(sorted(r.lay.items()))]
    if r.traded:
        parts.append('"trd":[%s]' % ladder(sorted(r.traded.items())))
    if r.ltp is not None:
        parts.append('"ltp":%s' % PRICE_TEXT[r.ltp])
    parts.append('"tv":%s' % money(r.tv))
    parts.append('"id":%d' % r.selection_id)
    return "{" + ",".join(parts) + "}"


class Stream:
    """Writes one line per message and keeps the clock, sequence and connection fields."""

    def __init__(self, out, rng, start_ms):
        self.out = out
        self.rng = rng
        self.pt = start_ms
        self.clk = 0
        self.bytes = 0
        self.lines = 0
        self.pending = []

    def clock(self):
        self.clk += self.rng.randint(1, 400)
        return base64.b64encode(self.clk.to_bytes(9, "big")).decode()

    def emit(self, text):
        self.pending.append(text)
        self.bytes += len(text) + 1
        self.lines += 1
        if len(self.pending) >= 512:
            self.flush()

    def flush(self):
        if self.pending:
            self.out.write("\n".join(self.pending) + "\n")
            self.pending.clear()

    def change(self, market, body, extra=""):
        self.emit('{"op":"mcm","id":2,"clk":"%s","pt":%d%s,"mc":[{"id":"%s",%s}]}'
                  % (self.clock(), self.pt, extra, market.market_id, body))

    def heartbeat(self):
        self.emit('{"op":"mcm","id":2,"clk":"%s","pt":%d,"ct":"HEARTBEAT"}'
                  % (self.clock(), self.pt))


def runner_delta(rng, market, r, in_play):
    """Moves one runner's ladders a little and returns the change text, or None."""
    back_changes, lay_changes, traded_changes = {}, {}, {}
    ticks_top = len(TICKS) - 1
    move = rng.random()
    step = rng.randint(1, 4) if in_play else 1
    if move < (0.35 if in_play else 0.12):
        # Price moves up: the lay side is taken out and trades at each level crossed.
        for _ in range(step):
            if r.best_back + 1 >= ticks_top:
                break
            tick = r.best_back + 1
            taken = r.lay.pop(tick, None) or round(rng.lognormvariate(2, 1), 2)
            lay_changes[tick] = 0
            r.traded[tick] = round(r.traded.get(tick, 0) + taken, 2)
            traded_changes[tick] = r.traded[tick]
            r.tv += taken
            market.tv += taken
            r.ltp = tick
            r.best_back = tick
            size = round(rng.lognormvariate(2.5, 1.2), 2)
            r.back[tick] = size
            back_changes[tick] = size
    elif move < (0.7 if in_play else 0.24):
        # Price moves down: the best back is taken out.
        for _ in range(step):
            tick = r.best_back
            if tick <= 1:
                break
            taken = r.back.pop(tick, None) or round(rng.lognormvariate(2, 1), 2)
            back_changes[tick] = 0
            r.traded[tick] = round(r.traded.get(tick, 0) + taken, 2)
            traded_changes[tick] = r.traded[tick]
            r.tv += taken
            market.tv += taken
            r.ltp = tick
            r.best_back = tick - 1
            size = round(rng.lognormvariate(2.5, 1.2), 2)
            r.lay[tick] = size
            lay_changes[tick] = size
    elif move < 0.4:
        # A trade at the best price without a move.
        side = r.back if rng.random() < 0.5 else r.lay
        tick = r.best_back if side is r.back else r.best_back + 1
        if tick in side and tick < ticks_top:
            taken = round(min(side[tick], rng.lognormvariate(1.5, 1)), 2)
            left = round(side[tick] - taken, 2)
            if left <= 0:
                del side[tick]
                left = 0
            else:
                side[tick] = left
            (back_changes if side is r.back else lay_changes)[tick] = left
            r.traded[tick] = round(r.traded.get(tick, 0) + taken, 2)
            traded_changes[tick] = r.traded[tick]
            r.tv += taken
            market.tv += taken
            r.ltp = tick
    # Orders placed and cancelled near the best prices; size 0 removes a level.
    for _ in range(rng.randint(1, 4)):
        if rng.random() < 0.5:
            tick = r.best_back - rng.randint(0, 9)
            if tick < 1:
                continue
            book, changes = r.back, back_changes
        else:
            tick = r.best_back + 1 + rng.randint(0, 9)
            if tick >= ticks_top:
                continue
            book, changes = r.lay, lay_changes
        if tick in book and rng.random() < 0.3:
            del book[tick]
            changes[tick] = 0
        else:
            size = round(book.get(tick, 0) + rng.lognormvariate(2.2, 1.3), 2)
            book[tick] = size
            changes[tick] = size
    parts = []
    if back_changes:
        parts.append('"atb":[%s]' % ladder(back_changes.items()))
    if lay_changes:
        parts.append('"atl":[%s]' % ladder(lay_changes.items()))
    if traded_changes:
        parts.append('"trd":[%s]' % ladder(traded_changes.items()))
        parts.append('"ltp":%s' % PRICE_TEXT[r.ltp])
        parts.append('"tv":%s' % money(r.tv))
    if not in_play and rng.random() < 0.08:
        # Starting-price projections: "NaN" while too few starting-price bets exist.
        if rng.random() < 0.15:
            parts.append('"spn":"NaN","spf":"NaN"')
        else:
            r.near = PRICE_VALUE[r.best_back] * rng.uniform(0.97, 1.05)
            parts.append('"spn":%s,"spf":%s' % (money(r.near), money(r.near * rng.uniform(0.9, 1.1))))
        if rng.random() < 0.5:
            parts.append('"spb":[[%s,%s]]' % (PRICE_TEXT[max(0, r.best_back - 3)],
                                             money(rng.lognormvariate(2, 1))))
            parts.append('"spl":[[%s,%s]]' % (PRICE_TEXT[min(ticks_top, r.best_back + 4)],
                                             money(rng.lognormvariate(1.5, 1))))
    if not parts:
        return None
    parts.append('"id":%d' % r.selection_id)
    return "{" + ",".join(parts) + "}"


def market_life(stream, rng, market, updates):
    """Writes one market from its first image to its closing definition."""
    runners = market.active()
    stream.change(market, '%s,"rc":[%s],"img":true,"tv":%s'
                  % (market.definition(), ",".join(full_runner(r) for r in runners),
                     money(market.tv)), ',"ct":"SUB_IMAGE","initialClk":"%s"' % stream.clock())
    suspend_at = int(updates * rng.uniform(0.3, 0.5))
    off_at = int(updates * rng.uniform(0.72, 0.8))
    image_at = int(updates * rng.uniform(0.1, 0.6)) if rng.random() < 0.5 else -1
    # Favourites trade most.
    weights = [1 / (i + 1) for i in range(len(runners))]
    for step in range(updates):
        in_play = market.in_play
        stream.pt += rng.randint(80, 400) if in_play else rng.randint(50, 2500)
        if rng.random() < 0.004:
            stream.heartbeat()
            continue
        if step == suspend_at:
            market.status = "SUSPENDED"
            stream.change(market, market.definition())
            stream.pt += rng.randint(5000, 60000)
            market.status = "OPEN"
            stream.change(market, market.definition())
            continue
        if step == image_at:
            # An image replaces the whole market, so it carries the definition as well.
            stream.change(market, '%s,"rc":[%s],"img":true,"tv":%s'
                          % (market.definition(), ",".join(full_runner(r) for r in runners),
                             money(market.tv)))
            continue
        if step == off_at:
            # The off: suspended with starting prices reconciled, then open in play.
            market.status = "SUSPENDED"
            market.bsp_reconciled = True
            for r in runners:
                r.bsp = round(r.near * rng.uniform(0.95, 1.08), 2)
            stream.change(market, market.definition())
            stream.pt += rng.randint(1000, 8000)
            market.status = "OPEN"
            market.in_play = True
            market.bet_delay = 1
            stream.change(market, market.definition())
            continue
        count = 1 + int(rng.random() ** 1.5 * min(5, len(runners)))
        chosen = set(rng.choices(range(len(runners)), weights, k=count))
        deltas = [d for d in (runner_delta(rng, market, runners[i], in_play) for i in sorted(chosen))
                  if d]
        if not deltas:
            continue
        extra = ',"con":true' if rng.random() < 0.01 else ''
        stream.change(market, '"rc":[%s]%s,"tv":%s' % (",".join(deltas), extra, money(market.tv)))
    # The finish: suspended, then closed with a winner.
    stream.pt += rng.randint(30000, 200000)
    market.status = "SUSPENDED"
    stream.change(market, market.definition())
    stream.pt += rng.randint(60000, 300000)
    winner = rng.choices(runners, [1 / PRICE_VALUE[r.best_back] for r in runners])[0]
    for r in runners:
        r.status = "WINNER" if r is winner else "LOSER"
    market.status = "CLOSED"
    market.in_play = False
    market.settled_ms = stream.pt
    stream.change(market, market.definition())


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output", default=os.path.join("bench", "data", "stream.json"),
                        help="plain output file (default %(default)s)")
    parser.add_argument("--seed", type=int, default=20220419, help="default %(default)s")
    parser.add_argument("--size-mb", type=float, default=2.0,
                        help="stop after the market that reaches this size (default %(default)s)")
    parser.add_argument("--markets", type=int, default=0,
                        help="write exactly this many markets instead of a size")
    parser.add_argument("--updates", type=int, default=4000,
                        help="typical number of updates per market (default %(default)s)")
    parser.add_argument("--runners", type=int, default=0,
                        help="runners per market instead of a random 6 to 14")
    parser.add_argument("--gzip", action="store_true", help="also write OUTPUT.gz")
    args = parser.parse_args(argv)

    rng = random.Random(args.seed)
    target = int(args.size_mb * 1e6)
    os.makedirs(os.path.dirname(os.path.abspath(args.output)), exist_ok=True)
    start_ms = 1650000000000 + rng.randint(0, 10**10)
    markets = 0
    with open(args.output, "w", encoding="utf-8", newline="\n") as out:
        stream = Stream(out, rng, start_ms)
        while (markets < args.markets) if args.markets else (stream.bytes < target):
            updates = max(10, int(args.updates * rng.uniform(0.5, 1.5)))
            if not args.markets:  # keep the last market from overshooting a small target by much
                updates = min(updates, max(10, (target - stream.bytes) // 250))
            market = Market(rng, markets, stream.pt, updates, args.runners)
            market_life(stream, rng, market, updates)
            stream.pt += rng.randint(60000, 900000)
            markets += 1
        stream.flush()
    if args.gzip:
        with open(args.output, "rb") as source, \
                gzip.GzipFile(args.output + ".gz", "wb", compresslevel=6, mtime=0) as target_file:
            shutil.copyfileobj(source, target_file, 1 << 20)
    print("%s: %d markets, %d lines, %.1f MB%s" % (
        args.output, markets, stream.lines, stream.bytes / 1e6,
        " (and .gz, %.1f MB)" % (os.path.getsize(args.output + ".gz") / 1e6) if args.gzip else ""),
        file=sys.stderr)


def generated(name, **options):
    """bench/data/NAME, written with these command-line options (updates=2000 for --updates 2000)
    unless it is there already: the benchmarks generate their files once and keep them."""
    path = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data", name)
    if not os.path.exists(path):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        argv = ["-o", path]
        for option, value in options.items():
            argv += ["--" + option.replace("_", "-"), str(value)]
        subprocess.run([sys.executable, os.path.abspath(__file__), *argv], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    return path


if __name__ == "__main__":
    main()
