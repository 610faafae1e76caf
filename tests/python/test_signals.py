"""Signals during a load: the interpreter's handlers run while the file is opened or read, and a
handler that raises, as Ctrl-C's does, ends the load at once."""

import gzip
import os
import select
import signal
import subprocess
import sys
import time

import pytest

from conftest import sanitized

CHILD = """
import signal, sys
import pelarune
signal.signal(signal.SIGINT, signal.default_int_handler)
signal.signal(signal.SIGUSR1, lambda *_: print("handled", flush=True))
print("ready", flush=True)
try:
    it = pelarune.iter_prices_file(sys.argv[1])
except KeyboardInterrupt:
    print("interrupted", flush=True)
else:
    print("loaded", len(it), flush=True)
"""

# From the signal to the child's exit; the sanitized build checks the outcome only.
DEADLINE = 30 if sanitized() else 1.0


@pytest.fixture
def load_in_child():
    """start(path) -> a child process inside iter_prices_file(path); killed if left running."""
    children = []

    def start(path):
        child = subprocess.Popen([sys.executable, "-c", CHILD, path], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        children.append(child)
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.3)  # into the open or the read
        return child

    yield start
    for child in children:
        if child.poll() is None:
            child.kill()
            child.communicate()


def read_line(child, timeout=30):
    """The child's next line of output, or '' when none comes in time."""
    ready, _, _ = select.select([child.stdout], [], [], timeout)
    return child.stdout.readline() if ready else ""


def interrupt(child):
    sent = time.monotonic()
    child.send_signal(signal.SIGINT)
    out, err = child.communicate(timeout=60)
    assert (out, child.returncode) == ("interrupted\n", 0), err
    assert time.monotonic() - sent < DEADLINE


def test_ctrl_c_ends_a_long_load(tmp_path, load_in_child):
    # 8 GiB of blank lines in 17 MB of gzip members: many seconds of reading.
    member = gzip.compress((b" " * 1023 + b"\n") * 8192, compresslevel=9)
    path = tmp_path / "long.jsonl.gz"
    path.write_bytes(member * 1024)
    interrupt(load_in_child(str(path)))


class TestFifoWithoutWriter:
    @pytest.fixture
    def fifo(self, tmp_path):
        path = tmp_path / "fifo"
        os.mkfifo(path)
        return str(path)

    def test_ctrl_c_ends_the_wait(self, fifo, load_in_child):
        interrupt(load_in_child(fifo))

    def test_other_handlers_run_and_the_open_goes_on(self, fifo, load_in_child):
        child = load_in_child(fifo)
        child.send_signal(signal.SIGUSR1)
        assert read_line(child) == "handled\n"
        with open(fifo, "w") as writer:
            writer.write('{"pt": 1, "mc": [{"id": "1.1"}]}\n')
        out, err = child.communicate(timeout=60)
        assert (out, child.returncode) == ("loaded 1\n", 0), err
