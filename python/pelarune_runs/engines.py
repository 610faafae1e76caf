"""Where the chunks run (here, on a process pool or on Dask), and Ctrl-C, SIGTERM or SIGHUP
while they do: the first stops new chunks and waits a bounded time for the running ones, the
second ends the workers at once. A worker that dies fails its chunk, not the run. No worker
outlives the run, however the run ends."""

from __future__ import annotations

import _thread
import contextlib
import ctypes
import logging
import multiprocessing
import os
import signal
import sys
import threading
import time
from collections.abc import Callable, Iterator
from concurrent.futures import FIRST_COMPLETED, Future, ProcessPoolExecutor, wait
from concurrent.futures.process import BrokenProcessPool
from multiprocessing import resource_tracker
from typing import Any, Self, TypeVar

from pelarune_runs.checks import SetupError

T = TypeVar("T")
R = TypeVar("R")

INSTALL_DASK = "Dask is not installed: pip install 'dask[distributed]'"
# Seconds to wait for a scheduler before the run is refused.
CONNECT_TIMEOUT = 5.0
# Seconds the running chunks get after a first Ctrl-C: flumine's recipe of eight markets a
# chunk takes a few seconds; a strategy far slower than that is stopped, not waited for.
GRACE = 20.0
# How often a waiting parent looks at the signals and the clock.
_POLL = 0.1
# The signals that stop a run, as a first Ctrl-C does; its exit status is 128 + the number.
STOPPING = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
_STOPPED = {signal.SIGINT: "interrupted", signal.SIGTERM: "terminated", signal.SIGHUP: "hung up"}
# The workers leave these to the parent: Ctrl-C and a closed terminal reach the whole
# foreground group. SIGTERM stays theirs, as the pool's own shutdown of a broken pool sends it.
_PARENTS = {signal.SIGINT, signal.SIGHUP}
_PR_SET_PDEATHSIG = 1


class WorkerDied(Exception):
    """The process running an item ended without a result."""

    def __init__(self, how: str) -> None:
        super().__init__(how)
        self.how = how


def _how(exitcode: int | None) -> str:
    if exitcode is not None and exitcode < 0:
        try:
            return signal.Signals(-exitcode).name
        except ValueError:
            pass
    return f"exit status {exitcode}"


def _worker_start(parent: int) -> None:
    """A worker ends with its parent, whatever ends the parent (SIGKILL and the OOM killer
    included): the kernel sends it SIGKILL when the thread that started it ends, and every
    worker is started from the parent's main thread."""
    if sys.platform.startswith("linux"):
        libc = ctypes.CDLL(None, use_errno=True)
        libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL)
    if os.getppid() != parent:  # the parent died before the line above
        os._exit(1)


def _alone(result: Any, parent: int, function: Callable[..., Any], item: Any,
           *args: Any) -> None:
    """An item in a process of its own, which sends back its result or its error."""
    _worker_start(parent)
    try:
        value: tuple[bool, Any] = (True, function(item, *args))
    except Exception as error:  # noqa: BLE001  # the parent raises it, as a pool's would
        value = (False, error)
    result.send(value)


class Interrupts:
    """SIGINT, SIGTERM and SIGHUP during a run (the main thread's only). The first stops new
    chunks and gives the running ones `grace` seconds; the second, or the end of the grace,
    stops them at once. `signal` is the first.
    Only the serial engine's chunk, running on this thread, is stopped by KeyboardInterrupt:
    elsewhere the parent looks at `count` and `now` at points where stopping is safe."""

    def __init__(self, grace: float, say: Callable[[str], None]) -> None:
        self.grace = grace
        self.say = say
        self.count = 0
        self.signal: signal.Signals | None = None
        self.raising = False  # a chunk runs on this thread
        self._deadline = 0.0
        self._previous: dict[signal.Signals, Any] = {}
        self._timer: threading.Timer | None = None

    def __enter__(self) -> Self:
        if threading.current_thread() is threading.main_thread():
            for number in STOPPING:
                self._previous[number] = signal.signal(number, self._handle)
        return self

    def __exit__(self, *exc: object) -> None:
        if self._timer is not None:
            self._timer.cancel()
        for number, previous in self._previous.items():
            # None: a handler not set from Python, which cannot be put back; the default then.
            signal.signal(number, previous if previous is not None else
                          signal.default_int_handler if number == signal.SIGINT
                          else signal.SIG_DFL)

    @property
    def now(self) -> bool:
        return self.count > 1 or (self.count == 1 and time.monotonic() >= self._deadline)

    def _handle(self, signum: int, frame: Any) -> None:
        self.count += 1
        if self.count == 1:
            self.signal = signal.Signals(signum)
            self._deadline = time.monotonic() + self.grace
            self.say(f"{_STOPPED[self.signal]}: finishing the running chunks (up to "
                     f"{self.grace:.0f} s); Ctrl-C again to stop at once")
            self._timer = threading.Timer(self.grace, self._expire)
            self._timer.daemon = True
            self._timer.start()
        elif self.count == 2:
            self.say("stopping now")
        if self.raising and self.now:
            raise KeyboardInterrupt

    def _expire(self) -> None:
        if self.raising and self.count == 1:
            self.count = 2
            _thread.interrupt_main()


@contextlib.contextmanager
def _sigint_blocked() -> Iterator[None]:
    """Starts processes and threads with SIGINT and SIGHUP blocked: a child inherits the
    mask, so a Ctrl-C or a closed terminal, sent to the whole process group, reaches the parent
    alone, which decides; the parent's own delivery waits until the block ends."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    # Started first: starting it unblocks SIGINT in the calling thread, whatever was blocked.
    resource_tracker.ensure_running()
    previous = signal.pthread_sigmask(signal.SIG_BLOCK, _PARENTS)
    try:
        yield
    finally:
        signal.pthread_sigmask(signal.SIG_SETMASK, previous)


# Where Dask, and the libraries it runs on, log a cluster's shutdown.
_CLUSTER_LOGS = ("distributed", "tornado", "asyncio")


@contextlib.contextmanager
def _quiet(names: tuple[str, ...]) -> Iterator[None]:
    loggers = [logging.getLogger(name) for name in names]
    levels = [logger.level for logger in loggers]
    for logger in loggers:
        logger.setLevel(logging.CRITICAL + 1)
    try:
        yield
    finally:
        for logger, level in zip(loggers, levels, strict=True):
            logger.setLevel(level)


def _kill_children(spared: set[Any]) -> None:
    children = [child for child in multiprocessing.active_children() if child not in spared]
    for child in children:
        child.kill()
    for child in children:
        child.join(5)


class Runner:
    """Runs a function over items, serially, on a process pool or on Dask, calling `done`
    with each result as it comes. At most one item a worker runs at a time, so a first
    Ctrl-C waits only for those, and a worker holds no result once it is collected."""

    def __init__(self, engine: str, workers: int, scheduler: str | None,
                 interrupts: Interrupts) -> None:
        # `engine` is the public name of where the items run: "serial", "process" or "dask".
        self.engine, self.workers, self.scheduler = engine, workers, scheduler
        self.interrupts = interrupts
        self.pool: ProcessPoolExecutor | None = None
        self.client: Any = None
        self.cluster: Any = None

    def __enter__(self) -> Self:
        self._spared = set(multiprocessing.active_children())  # the caller's own
        if self.engine == "process":
            # spawn: the workers import the factory by name, as on a cluster, start without
            # the caller's threads, and are our children, so their CPU time counts as ours.
            with _sigint_blocked():
                self.pool = self._new_pool()
        elif self.engine == "dask":
            self._start_dask()
        return self

    def _new_pool(self) -> ProcessPoolExecutor:
        return ProcessPoolExecutor(self.workers, multiprocessing.get_context("spawn"),
                                   initializer=_worker_start, initargs=(os.getpid(),))

    def _start_dask(self) -> None:
        Client: Any
        LocalCluster: Any
        try:
            from dask import distributed
        except ImportError:
            raise SetupError(INSTALL_DASK) from None
        Client, LocalCluster = distributed.Client, distributed.LocalCluster  # untyped
        with _sigint_blocked():
            if self.scheduler is None:
                # One single-threaded worker process per core: the replay holds the GIL. A free
                # port: with None, Dask still serves its HTTP routes, on 8787 or, when that is
                # taken, on another with a warning.
                self.cluster = LocalCluster(n_workers=self.workers, threads_per_worker=1,
                                            processes=True, dashboard_address=":0")
                self.client = Client(self.cluster)
                return
            try:
                self.client = Client(self.scheduler, timeout=CONNECT_TIMEOUT)
            except (OSError, TimeoutError, ValueError) as error:
                raise SetupError(f"--scheduler {self.scheduler}: cannot connect "
                                 f"({type(error).__name__}: {error})".replace("\n", " ")
                                 ) from None
        self.workers = max(1, len(self.client.scheduler_info().get("workers", {})))

    def __exit__(self, *exc: object) -> None:
        stopped = self.interrupts.now or exc[0] is not None
        # After a signal, the only line is the run's own: a cluster shut down mid-heartbeat
        # logs tracebacks that are not news, nor is the noise of what is abandoned.
        with _quiet(_CLUSTER_LOGS) if stopped or self.interrupts.count else \
                contextlib.nullcontext():
            if stopped:
                _kill_children(self._spared)
            if self.pool is not None:
                self.pool.shutdown(wait=True, cancel_futures=True)
            for part in (self.client, self.cluster):
                if part is not None:
                    try:
                        part.close(timeout=5 if stopped else 30)
                    except Exception:  # what is left is killed below
                        if not stopped:
                            raise
            _kill_children(self._spared)

    def map(self, function: Callable[..., R], items: list[T], done: Callable[[T, R], None],
            *args: Any, split: Callable[[T], list[T]] = lambda item: [item],
            died: Callable[[T, str], None] | None = None) -> bool:
        """False when interrupted before every item was done. An item whose worker died (with
        others, on a process pool: one death breaks the pool) is run again as `split(item)`,
        each part alone in a fresh worker; a part whose worker dies alone goes to
        `died(part, how)`, or raises WorkerDied without `died`."""
        if self.pool is not None:
            return self._map_futures(
                lambda item, alone: (_start_alone if alone else self._submit_to_pool)(
                    function, item, *args),
                items, done, self._wait_futures, split, died, (BrokenProcessPool, WorkerDied))
        if self.client is not None:
            from distributed.scheduler import KilledWorker

            return self._map_futures(
                lambda item, alone: self.client.submit(function, item, *args, pure=False),
                items, done, self._wait_dask, split, died, (KilledWorker,))
        for item in items:
            if self.interrupts.count:
                return False
            self.interrupts.raising = True
            try:
                result = function(item, *args)
            except KeyboardInterrupt:
                return False
            finally:
                self.interrupts.raising = False
            done(item, result)
        return True

    def _submit_to_pool(self, function: Callable[..., R], item: T, *args: Any) -> Future[R]:
        assert self.pool is not None
        with _sigint_blocked():  # the pool starts its processes as work arrives
            try:
                return self.pool.submit(function, item, *args)
            except BrokenProcessPool:
                # A worker died: the pool's other workers are ended with it; a fresh pool.
                self.pool.shutdown(wait=True, cancel_futures=True)
                self.pool = self._new_pool()
                return self.pool.submit(function, item, *args)

    @staticmethod
    def _wait_futures(futures: list[Any]) -> list[Any]:
        return list(wait(futures, timeout=_POLL, return_when=FIRST_COMPLETED).done)

    @staticmethod
    def _wait_dask(futures: list[Any]) -> list[Any]:
        from dask import distributed

        dask_wait: Any = distributed.wait  # untyped
        try:
            return list(dask_wait(futures, timeout=_POLL, return_when="FIRST_COMPLETED").done)
        except TimeoutError:
            return []

    def _map_futures(self, submit: Callable[[T, bool], Any], items: list[T],
                     done: Callable[[T, Any], None],
                     wait_some: Callable[[list[Any]], list[Any]],
                     split: Callable[[T], list[T]], died: Callable[[T, str], None] | None,
                     deaths: tuple[type[BaseException], ...]) -> bool:
        waiting = [(item, False) for item in reversed(items)]  # (item, alone)
        running: dict[Any, tuple[T, bool]] = {}
        # Dask queues tasks on a worker beyond its threads, and counts a worker's death against
        # each: an item alone in a process of its own is one alone on the cluster.
        exclusive = self.client is not None
        while waiting or running:
            while waiting and not self.interrupts.count and len(running) < self.workers:
                item, alone = waiting[-1]
                if exclusive and running and (alone or any(a for _, a in running.values())):
                    break
                waiting.pop()
                running[submit(item, alone)] = (item, alone)
            if self.interrupts.now:
                return False
            if not running:
                break
            for future in wait_some(list(running)):
                item, alone = running.pop(future)
                try:
                    result = future.result()
                except deaths as error:
                    if not alone:
                        waiting += [(part, True) for part in reversed(split(item))]
                    elif died is None:
                        raise
                    else:
                        died(item, error.how if isinstance(error, WorkerDied)
                             else type(error).__name__)
                    continue
                finally:
                    if self.client is not None:
                        future.release()  # the worker drops the result
                done(item, result)
        return not waiting and not running


def _start_alone(function: Callable[..., Any], item: Any, *args: Any) -> Future[Any]:
    """`function(item, *args)` in a fresh process of its own; WorkerDied, saying how, when it
    ends without a result."""
    context = multiprocessing.get_context("spawn")
    reader, writer = context.Pipe(duplex=False)
    process = context.Process(target=_alone, args=(writer, os.getpid(), function, item, *args),
                              daemon=True)
    with _sigint_blocked():
        process.start()
    writer.close()
    future: Future[Any] = Future()

    def watch() -> None:
        try:
            ok, value = reader.recv()
        except EOFError:
            process.join()
            future.set_exception(WorkerDied(_how(process.exitcode)))
        else:
            process.join()
            if ok:
                future.set_result(value)
            else:
                future.set_exception(value)
        finally:
            reader.close()

    with _sigint_blocked():
        threading.Thread(target=watch, daemon=True).start()
    return future


def say(text: str) -> None:
    """A line on stderr from a signal handler: straight to the descriptor, since a print could
    land inside another write to the same buffered stream (the progress bar's) and fail."""
    try:
        os.write(sys.stderr.fileno(), f"{text}\n".encode())
    except (AttributeError, OSError, ValueError):  # no descriptor: a notebook, a test's capture
        print(text, file=sys.stderr, flush=True)

