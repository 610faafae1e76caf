"""Running out of memory: MemoryError, never a PanicException or an abort, and the iterator
goes on as after any other failure of next()."""

import subprocess
import sys
import textwrap

import pytest

import pelarune
from conftest import instance_counts, recorded, sanitized

CHILD = """
import resource, threading, warnings
import pelarune
warnings.simplefilter("ignore")

def limit_address_space(margin=64 << 20):
    # What the process maps now, and room for the interpreter to go on, but not for the call.
    with open("/proc/self/status") as status:
        size = next(int(ln.split()[1]) << 10 for ln in status if ln.startswith("VmSize:"))
    resource.setrlimit(resource.RLIMIT_AS, (size + margin, resource.RLIM_INFINITY))

def in_thread(call):
    errors = []
    def run():
        try:
            call()
        except BaseException as error:
            errors.append(error)
    worker = threading.Thread(target=run)
    worker.start()
    worker.join()
    if errors:
        raise errors[0]

try:
{call}
except BaseException as error:
    print(type(error).__name__)
else:
    print("no error")
"""


@pytest.fixture(scope="module")
def huge_record(tmp_path_factory):
    """One record of 200,000 runners: a few MB to load, hundreds to replay and export."""
    runners = ",".join(f'{{"id":{i},"atb":[[2.0,{i}]],"trd":[[3.0,1.0]]}}'
                       for i in range(1, 200_001))
    path = tmp_path_factory.mktemp("huge") / "huge.json"
    path.write_text(f'{{"op":"mcm","pt":1,"mc":[{{"id":"1.1","rc":[{runners}]}}]}}\n')
    return str(path)


# The iterator lives on while the book is exported: the engine's memory, freed, would stay
# mapped and leave the export room to succeed.
@pytest.mark.skipif(sanitized(), reason="the sanitizer reserves terabytes of address space")
@pytest.mark.parametrize("call", [
    'pelarune.iter_prices_file("/dev/zero")  # a line that never ends',
    "it = pelarune.iter_prices_file(PATH)\nlimit_address_space()\nnext(it)",
    "it = pelarune.iter_prices_file(PATH)\nbook = next(it)\nlimit_address_space()\nbook.to_dict()",
    # A thread's first call: the C++ runtime's per-thread state must not be allocated now.
    "it = pelarune.iter_prices_file(PATH)\nbook = next(it)\nlimit_address_space()\n"
    "in_thread(book.to_dict)",
], ids=["endless line", "next", "to_dict", "to_dict in a new thread"])
def test_address_space_limit_gives_memory_error(huge_record, call):
    if "PATH" not in call:
        call = "limit_address_space()\n" + call
    code = CHILD.format(call=textwrap.indent(f"PATH = {huge_record!r}\n{call}", "    "))
    child = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                           timeout=300)
    assert (child.returncode, child.stdout) == (0, "MemoryError\n"), child.stderr[-3000:]
    assert "pelarune" not in child.stderr  # no internal-failure diagnostic


class TestFailedAllocation:
    """One allocation of the interpreter fails in each call, at a point that moves from call to
    call, while a recorded file is replayed: the failure comes after the engine applied the
    record, so every book made, by then or later, equals the book of an unfailed replay."""

    testcapi = pytest.importorskip("_testcapi")

    def failing(self, call, allocation):
        self.testcapi.set_nomemory(allocation, allocation + 1)
        try:
            return call()
        finally:
            self.testcapi.remove_mem_hooks()

    def test_replay_goes_on_after_memory_errors(self):
        path = recorded("BASIC-1.132153978")
        expected = [book.to_dict() for book in pelarune.iter_prices_file(path)]
        assert len(expected) == 480
        base = instance_counts()
        outcomes = {"next": set(), "to_dict": set()}
        # Definition records make about 200 allocations, others a few dozen; moving the
        # failing one by a step coprime to the span lands on each point of a call in turn.
        for rounds in range(3):
            it = pelarune.iter_prices_file(path)
            for n in range(len(expected)):
                allocation = 1 + (n * 37 + rounds * 11) % 240
                try:
                    book = self.failing(lambda: next(it), allocation)
                except MemoryError:
                    outcomes["next"].add("MemoryError")
                    continue
                outcomes["next"].add("book")
                try:
                    exported = self.failing(book.to_dict, allocation)
                except MemoryError:
                    outcomes["to_dict"].add("MemoryError")
                    exported = book.to_dict()
                else:
                    outcomes["to_dict"].add("dict")
                assert exported == expected[n], n
            with pytest.raises(StopIteration):
                next(it)
        assert outcomes == {"next": {"MemoryError", "book"}, "to_dict": {"MemoryError", "dict"}}
        del it, book
        assert instance_counts() == base
