"""Publish and definition times as naive UTC datetimes from the interpreter's datetime module."""

import datetime
import sys
import types

import pytest

import pelarune
from conftest import change, definition, mcm, rc

FIRST_FORMAT = "%Y-%m-%dT%H:%M:%S.%fZ"
SECOND_FORMAT = "%Y-%m-%dT%H:%M:%SZ"


def first_book(stream_file, *lines):
    return next(pelarune.iter_prices_file(stream_file(*lines)))


class TestPublishTime:
    @pytest.mark.parametrize("pt, expected", [
        (1, datetime.datetime(1970, 1, 1, 0, 0, 0, 1000)),
        (1700000000123, datetime.datetime(2023, 11, 14, 22, 13, 20, 123000)),
        (1614609000000, datetime.datetime(2021, 3, 1, 14, 30)),
    ])
    def test_value(self, stream_file, pt, expected):
        book = first_book(stream_file, mcm(pt, change()))
        assert book.publish_time == expected and book.publish_time.tzinfo is None
        assert book.publish_time_epoch == pt

    def test_new_object_per_book(self, stream_file):
        first, second = pelarune.iter_prices_file(stream_file(mcm(5, change()), mcm(5, change())))
        assert first.publish_time == second.publish_time
        assert first.publish_time is not second.publish_time

    def test_out_of_range_consumes_the_record(self, stream_file):
        it = pelarune.iter_prices_file(stream_file(
            mcm(1, change(rc=[rc(2)])), mcm(2**62, change(rc=[rc(1, ltp=2.0)])),
            mcm(3, change(tv=1))))
        unchanged = next(it).runners[0]
        held = sys.getrefcount(unchanged)
        with pytest.raises((ValueError, OverflowError)):
            next(it)
        assert sys.getrefcount(unchanged) == held  # the failed book's runner list is gone
        book = next(it)  # the failed record is not replayed, and its changes stay applied
        assert book.publish_time_epoch == 3 and book.runners[0].last_price_traded == 2.0
        assert book.runners[1] is unchanged
        with pytest.raises(StopIteration):
            next(it)
        assert len(it) == 3


class TestDefinitionTimes:
    @pytest.mark.parametrize("text, expected", [
        ("2021-03-01T14:30:00.000Z", datetime.datetime(2021, 3, 1, 14, 30)),
        ("2021-03-01T14:30:00Z", datetime.datetime(2021, 3, 1, 14, 30)),
        ("2021-03-01T14:30:00.5Z", datetime.datetime(2021, 3, 1, 14, 30, 0, 500000)),
        ("2021-03-01T14:30:00.123456Z", datetime.datetime(2021, 3, 1, 14, 30, 0, 123456)),
    ])
    def test_formats(self, stream_file, text, expected):
        md = first_book(stream_file, mcm(1, change(marketDefinition=definition(
            marketTime=text, openDate=text, suspendTime=text, settledTime=text)))).market_definition
        for value in (md.market_time, md.open_date, md.suspend_time, md.settled_time):
            assert value == expected and value.tzinfo is None
        assert md.market_time is md.market_time

    def test_absent_times_are_none(self, stream_file):
        line = mcm(1, change(marketDefinition={"status": "OPEN"}))
        md = first_book(stream_file, line).market_definition
        assert md.market_time is md.open_date is md.suspend_time is md.settled_time is None

    @pytest.mark.parametrize("text", [
        "2021-03-01T14:30:00+00:00", "2021-03-01 14:30:00Z", "", "2021-03-01T14:30:00.1234567Z"])
    def test_unparsable_reports_second_format(self, stream_file, text):
        it = pelarune.iter_prices_file(stream_file(
            mcm(1, change(marketDefinition=definition(openDate=text)))))
        with pytest.raises(ValueError, match=SECOND_FORMAT) as raised:
            next(it)
        assert raised.value.__context__ is None  # the first attempt's error is dropped

    def test_failed_definition_is_not_cached(self, stream_file):
        it = pelarune.iter_prices_file(stream_file(
            mcm(1, change(marketDefinition=definition(suspendTime="soon"))),
            mcm(2, change(rc=[rc(1, ltp=3.0)])),
            mcm(3, change(marketDefinition=definition(suspendTime="2021-03-01T14:29:00Z")))))
        for _ in range(2):  # the state keeps the bad text, so the rebuild fails again
            with pytest.raises(ValueError, match="soon"):
                next(it)
        book = next(it)
        assert book.market_definition.suspend_time == datetime.datetime(2021, 3, 1, 14, 29)
        assert book.runners[0].last_price_traded == 3.0


class TestFirstFormatError:
    """Only an ordinary exception from the first strptime is a verdict on the text."""

    @pytest.fixture
    def replay(self, stream_file, monkeypatch):
        datetime.datetime.strptime("2021", "%Y")  # imports _strptime under the real module

        def start(error):
            formats = []

            class Datetime:
                utcfromtimestamp = datetime.datetime.utcfromtimestamp

                @staticmethod
                def strptime(text, fmt):
                    formats.append(fmt)
                    if formats == [FIRST_FORMAT]:  # once, as a Ctrl-C would
                        raise error
                    return datetime.datetime.strptime(text, fmt)

            it = pelarune.iter_prices_file(stream_file(
                mcm(1, change(marketDefinition=definition(marketTime="2021-03-01T14:30:00Z",
                                                          openDate=None))),
                mcm(2, change())))
            module = types.ModuleType("datetime")
            module.datetime = Datetime
            monkeypatch.setitem(sys.modules, "datetime", module)
            return it, formats

        return start

    @pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit, MemoryError])
    def test_leaves_next_without_a_second_attempt(self, replay, error):
        it, formats = replay(error)
        with pytest.raises(error):
            next(it)
        assert formats == [FIRST_FORMAT]
        book = next(it)  # the record stays consumed; the definition is built anew
        assert book.publish_time_epoch == 2
        assert book.market_definition.market_time == datetime.datetime(2021, 3, 1, 14, 30)

    def test_ordinary_error_is_discarded(self, replay):
        it, formats = replay(ValueError("not this format"))
        book = next(it)
        assert book.market_definition.market_time == datetime.datetime(2021, 3, 1, 14, 30)
        assert formats == [FIRST_FORMAT, SECOND_FORMAT]


class CountingModule(types.ModuleType):
    """Stands in for the datetime module and counts lookups of its class."""

    def __init__(self, real):
        super().__init__("datetime")
        self.lookups = 0
        self.strptime_calls = 0
        outer = self

        class Datetime:
            @staticmethod
            def utcfromtimestamp(seconds):
                return ("utc", seconds)

            @staticmethod
            def strptime(text, fmt):
                outer.strptime_calls += 1
                return real.datetime.strptime(text, fmt)

        self._class = Datetime

    def __getattr__(self, name):
        if name != "datetime":
            raise AttributeError(name)
        self.lookups += 1
        return self._class


class TestInterpreterModule:
    def test_module_looked_up_at_every_call(self, stream_file, monkeypatch):
        path = stream_file(mcm(1500, change(marketDefinition={"status": "OPEN"})),
                           mcm(2500, change()),
                           mcm(3500, change(marketDefinition=definition(
                               marketTime="2021-03-01T14:30:00Z", openDate=None))))
        fake = CountingModule(datetime)
        monkeypatch.setitem(sys.modules, "datetime", fake)
        books = list(pelarune.iter_prices_file(path))
        assert [b.publish_time for b in books] == [("utc", 1.5), ("utc", 2.5), ("utc", 3.5)]
        # Three publish times; absent definition times import nothing; one text tried twice.
        assert fake.lookups == 3 + 1 and fake.strptime_calls == 2
        assert books[2].market_definition.market_time == datetime.datetime(2021, 3, 1, 14, 30)

    def test_import_failure_propagates(self, stream_file, monkeypatch):
        it = pelarune.iter_prices_file(stream_file(mcm(1, change()), mcm(2, change())))
        monkeypatch.setitem(sys.modules, "datetime", None)
        with pytest.raises(ImportError):
            next(it)
        monkeypatch.undo()
        assert next(it).publish_time_epoch == 2

    def test_interrupt_while_finding_import_function_leaves_next(self, stream_file):
        # The caller's builtins hold a key that runs Python code when compared with
        # "__import__", and that code is interrupted once.
        class Colliding:
            armed = False

            def __hash__(self):
                return hash("__import__")

            def __eq__(self, other):
                if not Colliding.armed:
                    return False
                Colliding.armed = False
                raise KeyboardInterrupt

        import builtins

        names = {k: v for k, v in vars(builtins).items() if k != "__import__"}
        names[Colliding()] = None
        names["__import__"] = builtins.__import__  # probed after the colliding key
        # A function whose frames have these builtins (exec of a str raising KeyboardInterrupt
        # would make the interpreter end by SIGINT at exit).
        next_here = eval("lambda it: next(it)", {"__builtins__": names})
        it = pelarune.iter_prices_file(stream_file(mcm(1, change()), mcm(2, change())))
        Colliding.armed = True
        with pytest.raises(KeyboardInterrupt):
            next_here(it)
        assert not Colliding.armed
        assert next(it).publish_time_epoch == 2

    @pytest.mark.parametrize("during_import", [False, True])
    def test_replaced_import_function_is_called_once_per_book(self, stream_file, monkeypatch,
                                                              during_import):
        import builtins

        seen = []
        original = builtins.__import__

        def logging_import(name, *args, **kwargs):
            seen.append(name)
            return original(name, *args, **kwargs)

        class ReplaceWhileImporting:
            """A meta-path hook that replaces __import__ while datetime is being imported."""

            def find_spec(self, name, path=None, target=None):
                if name == "datetime":
                    monkeypatch.setattr(builtins, "__import__", logging_import)

        it = pelarune.iter_prices_file(stream_file(*[mcm(n, change()) for n in range(1, 7)]))
        if during_import:
            monkeypatch.delitem(sys.modules, "datetime")
            monkeypatch.setattr(sys, "meta_path", [ReplaceWhileImporting(), *sys.meta_path])
        else:
            next(it)
            monkeypatch.setattr(builtins, "__import__", logging_import)
        assert next(it).publish_time_epoch == 2 - during_import
        seen.clear()  # what the import of datetime itself imported
        for epoch in range(3 - during_import, 6):
            assert next(it).publish_time_epoch == epoch and seen == ["datetime"]
            seen.clear()
        monkeypatch.undo()
        assert next(it).publish_time_epoch == 6 and seen == []

    @pytest.mark.parametrize("where", ["attribute", "module"])
    def test_replacements_after_the_first_book(self, stream_file, monkeypatch, where):
        # A replacement of the module's attribute or of the module, or a change to a replacing
        # class, shows at once, and the real class is used again after the undo.
        it = pelarune.iter_prices_file(stream_file(*[mcm(n * 1000, change()) for n in range(1, 5)]))
        assert type(next(it).publish_time) is datetime.datetime

        class Sub(datetime.datetime):
            pass

        if where == "attribute":
            monkeypatch.setattr(datetime, "datetime", Sub)
        else:
            module = types.ModuleType("datetime")
            module.datetime = Sub
            monkeypatch.setitem(sys.modules, "datetime", module)
        assert type(next(it).publish_time) is Sub
        Sub.utcfromtimestamp = classmethod(lambda cls, seconds: ("changed", seconds))
        assert next(it).publish_time == ("changed", 3.0)
        monkeypatch.undo()
        assert type(next(it).publish_time) is datetime.datetime
