"""Build workers for the builders' per-cell loop: local processes or a Dask cluster.

The loop of a builder command decides which cell goes next, prints the console
lines in order and applies the failure policy; a pool only carries cells to
worker processes and their outcomes back. Every worker builds cells by name
with the builder module's ``_build_cell``, which writes the GDS, ports and log
files exactly as a sequential run does, with the build callable of a prepared
command (PDK imported, the project's cells registered).

A cell travels as ``(index, cell name, GDS path, ports path, log path)``, its
outcome comes back as ``(index, (status, detail, message))``: status "built",
"failed", "none" (the PDK returned no component), "died" (the worker process
ended while building it) or "skipped" (not started because the run is ending);
``detail`` is the one-line description of a failure, ``message`` its text.
The loop drives a pool through ``prepared(build)`` (the command's own build
callable, once its setup is done), ``room()``, ``submit(...)``, ``wait()``
(the outcomes that arrived), ``stop_after(index)`` (later cells are not to
start), then ``close()``, or ``terminate()`` after an error.

On Linux local workers are forked from the command once it has set up: they
start in milliseconds, prepared as the command is, and build with its build
callable. Elsewhere they are started with ``spawn`` when the pool is made and
prepare themselves through the module's ``_prepare_worker`` while the command
sets up; they inherit nothing but the parent's ``sys.path``, environment and
working directory. Local workers are given several cells at a time (about
QUEUE_SECONDS of work) and report each one as it ends.

Dask is imported only when a scheduler address is given; its workers must
have lumencad (and the PDK) installed and reach the project folder at the same
path. They outlive a run, so they prepare again for each run (starting while
the command sets up), and they receive cells in batches whose size follows the
cells' build time, so that the cluster's per-task cost stays small.
"""

from __future__ import annotations

import contextlib
import gc
import importlib
import multiprocessing
import os
import pickle
import selectors
import signal
import sys
import threading
import time
import uuid
from collections import deque
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from multiprocessing.connection import Connection
from typing import Any

__all__ = ["BuildWorkerError", "ClusterPool", "LocalPool", "open_pool"]

Task = tuple[int, str, str, str, str]
Outcome = tuple[str, str | None, str | None]
SKIPPED: Outcome = ("skipped", None, None)

# Cells queued on one local worker: about QUEUE_SECONDS of work by the build
# times seen so far, at least the one it builds and the next, so that it never
# waits for the parent between cells, and little is left on one worker at the end.
QUEUE_SECONDS = 0.01
MIN_QUEUE, MAX_QUEUE = 2, 64
# Shortest time between two reads of the local workers' outcomes: those that
# arrive meanwhile are read together, so that the parent, which shares the
# cores with its workers, wakes a few hundred times a second at most.
READ_INTERVAL = 0.002
# A cluster gets cells in batches of about this much work, in seconds: its
# per-task cost is milliseconds, a small cell's build about as much. The first
# batch is one cell; each next one at most BATCH_GROWTH times the last.
BATCH_SECONDS = 0.1
BATCH_GROWTH = 4
MAX_BATCH = 256
# Index beyond every cell: no cell is held back.
NO_END = 2**62
# How local workers start: "fork" (from the prepared command) or "spawn".
START_METHOD = "fork" if sys.platform.startswith("linux") else "spawn"


class BuildWorkerError(RuntimeError):
    """A build worker could not be prepared, or a pool could not be set up."""


def open_pool(
    settings: Any, module: str, setup: tuple[Any, ...], stop_on_failure: bool
) -> LocalPool | ClusterPool | None:
    """The pool the settings ask for, or None for a sequential build.

    ``module`` is the builder module whose ``_prepare_worker(*setup)`` and
    ``_build_cell`` the workers use; with ``stop_on_failure`` a failed cell,
    like a cell without component, ends the run.
    """
    if settings.scheduler is not None:
        return ClusterPool(settings.scheduler, module, setup, stop_on_failure)
    if settings.jobs > 1:
        return LocalPool(settings.jobs, module, setup, stop_on_failure)
    return None


def ends_run(outcome: Outcome, stop_on_failure: bool) -> bool:
    """True for an outcome after which no later cell should start."""
    status = outcome[0]
    return status == "none" or (stop_on_failure and status in ("failed", "died"))


def _prepare(module_name: str, setup: Sequence[Any]) -> tuple[Any, Callable[..., Any]]:
    """The builder module and the build callable its ``_prepare_worker`` returns.

    What the preparation prints (warnings the parent has shown already) is
    dropped: a worker adds nothing to the console.
    """
    module = importlib.import_module(module_name)
    with (
        open(os.devnull, "w", encoding="utf-8") as devnull,
        contextlib.redirect_stdout(devnull),
        contextlib.redirect_stderr(devnull),
    ):
        build = module._prepare_worker(*setup)
    return module, build


def _one_line(exc: BaseException) -> str:
    text = " ".join(line.strip() for line in str(exc).splitlines() if line.strip())
    return f"{type(exc).__name__}: {text}" if text else type(exc).__name__


def _setup_error(exc: BaseException) -> BuildWorkerError:
    return BuildWorkerError(f"A build worker could not prepare the build: {_one_line(exc)}")


def _portable(exc: BaseException) -> BaseException:
    """``exc`` if it survives pickling, else a RuntimeError that says the same."""
    try:
        pickle.loads(pickle.dumps(exc))
    except Exception:
        return RuntimeError(_one_line(exc))
    return exc


# --- local processes ---------------------------------------------------------


def _serve(
    conn: Connection,
    module_name: str,
    setup: tuple[Any, ...],
    build: Callable[..., Any] | None,
    last: Any,
    stop: bool,
) -> None:
    """A local worker's life: prepare (unless forked with the command's
    ``build``), then build the cells the parent sends.

    ``last`` holds the index of the cell that ends the run (NO_END while none
    does): queued cells after it are skipped, not started.
    """
    # Ctrl-C reaches the whole process group: the parent handles it and ends
    # the workers.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    if build is not None:
        module = sys.modules[module_name]
    else:
        try:
            module, build = _prepare(module_name, setup)
        except BaseException as exc:
            conn.send(("setup failed", _portable(exc)))
            return
    conn.send(("ready", None))
    queue: deque[Task] = deque()
    while True:
        if not queue:
            try:
                tasks = conn.recv()
            except EOFError:  # the parent is gone
                return
            if tasks is None:
                return
            queue.extend(tasks)
            continue
        task = queue.popleft()
        index = task[0]
        if index > last.value:
            conn.send(("done", (index, SKIPPED), 0.0))
            continue
        start = time.perf_counter()
        try:
            outcome = module._build_cell(build, *task[1:])
        except BaseException as exc:
            conn.send(("raised", _portable(exc)))
            return
        if ends_run(outcome, stop):
            with last.get_lock():
                last.value = min(last.value, index)
        # Sent at once, so that a worker that dies has reported every cell
        # before the one it died on.
        conn.send(("done", (index, outcome), time.perf_counter() - start))


def _fork(process: multiprocessing.process.BaseProcess) -> None:
    """Starts a fork-method ``process``. Buffered console output is written
    first, or the child would write it again when it ends; the objects that
    exist now are frozen for the child's collector, which then leaves their
    pages shared with the parent instead of copying them."""
    for stream in (sys.stdout, sys.stderr):
        if stream is not None:
            stream.flush()
    gc.freeze()
    try:
        process.start()
    finally:
        gc.unfreeze()


def _death(process: multiprocessing.process.BaseProcess) -> str:
    process.join()
    code = process.exitcode
    if code is not None and code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exit code {code}"


@dataclass(eq=False)
class _Worker:
    process: multiprocessing.process.BaseProcess
    conn: Connection
    ready: bool = False
    # Indices of the cells it was given, oldest (the one it builds) first.
    cells: deque[int] = field(default_factory=deque)
    # Cells given but not sent yet: they go together when the parent waits.
    outbox: list[Task] = field(default_factory=list)


class LocalPool:
    """Worker processes on this machine: spawned all at once when the pool is
    made, or forked from the prepared command as cells come; one that dies is
    replaced when needed."""

    def __init__(
        self,
        size: int,
        module: str,
        setup: tuple[Any, ...],
        stop: bool,
        method: str | None = None,
    ) -> None:
        self._method = method or START_METHOD
        self._context = multiprocessing.get_context(self._method)
        self._size, self._module, self._setup, self._stop = size, module, setup, stop
        self._build: Callable[..., Any] | None = None
        self._last = self._context.Value("q", NO_END)
        self._workers: list[_Worker] = []
        # Each worker's pipe and its process's sentinel, to wait on both.
        self._selector = selectors.DefaultSelector()
        self._tasks: dict[int, Task] = {}  # given, no outcome yet
        self._outcomes: list[tuple[int, Outcome]] = []
        self._queue = MIN_QUEUE
        self._built = self._seconds = 0.0
        self._last_read = 0.0
        if self._method != "fork":
            self._start_all()

    def prepared(self, build: Callable[..., Any]) -> None:
        """The command has set up: forked workers build with ``build``. They
        start with the first cells, one per cell up to the pool's size, so a
        run of a few cells forks no more workers than it has cells."""
        if self._method == "fork":
            self._build = build

    def _start_all(self) -> None:
        try:
            for _ in range(self._size):
                self._start()
        except BaseException:
            self.terminate()
            raise

    def room(self) -> bool:
        """True while another cell can be given without waiting."""
        return len(self._workers) < self._size or any(
            len(w.cells) < self._queue for w in self._workers
        )

    def submit(self, index: int, cell: str, gds: str, ports: str, log: str) -> None:
        self._tasks[index] = (index, cell, gds, ports, log)
        self._give(index)

    def _give(self, index: int) -> None:
        """Queues a cell on the worker with the fewest (replacing a dead one first)."""
        if len(self._workers) < self._size:
            worker = self._start()
        else:
            worker = min(self._workers, key=lambda w: len(w.cells))
        worker.cells.append(index)
        worker.outbox.append(self._tasks[index])

    def _flush(self) -> None:
        for worker in self._workers:
            if worker.outbox:
                worker.conn.send(worker.outbox)
                worker.outbox = []

    def _start(self) -> _Worker:
        if self._method == "fork" and self._build is None:
            raise BuildWorkerError("forked build workers need the prepared build first")
        parent, child = self._context.Pipe()
        process = self._context.Process(
            target=_serve,
            args=(child, self._module, self._setup, self._build, self._last, self._stop),
            name="lumencad-build-worker",
            daemon=True,
        )
        if self._method == "fork":
            _fork(process)
        else:
            process.start()
        child.close()
        worker = _Worker(process, parent)
        self._workers.append(worker)
        self._selector.register(parent, selectors.EVENT_READ, worker)
        self._selector.register(process.sentinel, selectors.EVENT_READ, worker)
        return worker

    def stop_after(self, index: int) -> None:
        """Cells after ``index`` that have not started are skipped."""
        with self._last.get_lock():
            self._last.value = min(self._last.value, index)

    def wait(self) -> list[tuple[int, Outcome]]:
        """Outcomes that arrived, waiting for at least one."""
        self._flush()
        while True:
            if not self._outcomes:
                if not self._tasks:
                    raise BuildWorkerError("no cell is being built")
                pause = self._last_read + READ_INTERVAL - time.monotonic()
                if pause > 0:
                    time.sleep(pause)
            # Blocks for the first outcome, then reads what else is there.
            events = self._selector.select(0 if self._outcomes else None)
            if not events:
                break
            for key, _ in events:
                worker = key.data
                if worker not in self._workers:  # ended earlier in this round
                    continue
                if key.fileobj is worker.conn:
                    self._receive(worker)
                    continue
                # What a worker sent before it ended is still read: its end
                # counts only once its pipe is empty.
                while worker.conn.poll() and self._receive(worker):
                    pass
                self._bury(worker)
        self._last_read = time.monotonic()
        outcomes, self._outcomes = self._outcomes, []
        return outcomes

    def _receive(self, worker: _Worker) -> bool:
        """Handles one message of ``worker``; False when its pipe is closed."""
        try:
            message = worker.conn.recv()
        except (EOFError, OSError):
            return False
        kind, value = message[0], message[1]
        if kind == "ready":
            worker.ready = True
        elif kind == "done":
            (index, outcome), seconds = value, message[2]
            worker.cells.popleft()
            del self._tasks[index]
            self._outcomes.append((index, outcome))
            self._learn(seconds)
        elif kind == "setup failed":
            raise _setup_error(value)
        else:  # "raised": an error outside the failure policy
            raise value
        return True

    def _learn(self, seconds: float) -> None:
        """Sizes the workers' queues to about QUEUE_SECONDS of work."""
        if seconds <= 0:
            return
        self._built += 1
        self._seconds += seconds
        fitting = int(QUEUE_SECONDS * self._built / self._seconds)
        self._queue = max(MIN_QUEUE, min(fitting, MAX_QUEUE))

    def _bury(self, worker: _Worker) -> None:
        """A worker ended on its own: its cell failed, its queued cells move."""
        how = _death(worker.process)
        self._forget(worker)
        self._workers.remove(worker)
        if not worker.ready:
            raise BuildWorkerError(f"A build worker died while preparing the build: {how}")
        if len(worker.cells) == len(worker.outbox):  # it had not been sent a cell
            for queued in worker.cells:
                self._give(queued)
            return
        index = worker.cells.popleft()
        del self._tasks[index]
        detail = f"build worker died: {how}"
        outcome: Outcome = ("died", detail, detail)
        if ends_run(outcome, self._stop):
            self.stop_after(index)
        self._outcomes.append((index, outcome))
        for queued in worker.cells:
            self._give(queued)

    def _forget(self, worker: _Worker) -> None:
        self._selector.unregister(worker.conn)
        self._selector.unregister(worker.process.sentinel)
        worker.conn.close()

    def close(self) -> None:
        """Lets the workers finish and waits for them."""
        for worker in self._workers:
            with contextlib.suppress(OSError):
                worker.conn.send(None)
        self._end_all()

    def terminate(self) -> None:
        """Ends the workers at once (after an error or an interrupt)."""
        for worker in self._workers:
            worker.process.kill()
        self._end_all()

    def _end_all(self) -> None:
        for worker in self._workers:
            worker.process.join()
            self._forget(worker)
        self._workers = []
        self._selector.close()


# --- a Dask cluster -------------------------------------------------------------

# A Dask worker process outlives a run: it prepares again for each run (so
# that edited cells are picked up), and builds one cell at a time whatever
# its thread count, since a build redirects the process's standard streams to
# the cell's log file.
_prepared: dict[str, tuple[Any, Callable[..., Any]]] = {}
_cluster_lock = threading.Lock()


def _end_variable(run: str, client: Any = None) -> Any:
    """The cluster-wide variable holding the index of the cell that ends the run."""
    from distributed import Variable

    return Variable(f"lumencad-build-end-{run}", client=client)


def _prepared_for(
    run: str, module_name: str, setup: tuple[Any, ...]
) -> tuple[Any, Callable[..., Any]]:
    """The builder module and build callable of ``run`` in this Dask worker
    (call with ``_cluster_lock`` held): prepared on first use."""
    if run not in _prepared:
        _prepared.clear()
        try:
            _prepared[run] = _prepare(module_name, setup)
        except Exception as exc:
            raise _setup_error(exc) from exc
    return _prepared[run]


def _prepare_early(run: str, module_name: str, setup: tuple[Any, ...]) -> None:
    """Prepares a Dask worker for ``run`` while the command still sets up. A
    failure is left to the first batch, which reports it."""
    with _cluster_lock, contextlib.suppress(Exception):
        _prepared_for(run, module_name, setup)


def _build_batch(
    run: str, module_name: str, setup: tuple[Any, ...], stop: bool, tasks: list[Task]
) -> tuple[list[tuple[int, Outcome]], float]:
    """Builds a batch of cells on a Dask worker, in order; returns their outcomes
    and the seconds the builds took. Cells after the one that ends the run (as
    far as the cluster knows when the batch starts) are skipped."""
    with _cluster_lock:
        module, build = _prepared_for(run, module_name, setup)
        end_variable = _end_variable(run)
        end = end_variable.get()
        start = time.perf_counter()
        outcomes: list[tuple[int, Outcome]] = []
        for task in tasks:
            index = task[0]
            outcome = SKIPPED if index > end else module._build_cell(build, *task[1:])
            if ends_run(outcome, stop) and index < end:
                end = index
                end_variable.set(end)
            outcomes.append((index, outcome))
        return outcomes, time.perf_counter() - start


def _killed(exc: Any) -> Outcome:
    """The outcome of a cell whose Dask worker died (as often as the cluster allows)."""
    worker = getattr(getattr(exc, "last_worker", None), "address", "?")
    detail = f"build worker died: Dask worker {worker} was lost"
    return ("died", detail, detail)


class ClusterPool:
    """Cells sent to the workers of a Dask scheduler, in batches of consecutive cells."""

    def __init__(self, address: str, module: str, setup: tuple[Any, ...], stop: bool) -> None:
        try:
            from distributed import Client, as_completed
        except ImportError as exc:
            raise BuildWorkerError(
                f"Building on the Dask scheduler {address!r} needs Dask's distributed "
                "scheduler: pip install 'lumencad[cluster]'"
            ) from exc
        try:
            self._client = Client(address, set_as_default=False)
        except Exception as exc:  # OSError, TimeoutError, ValueError for a bad address
            raise BuildWorkerError(
                f"Cannot reach the Dask scheduler {address!r}: {_one_line(exc)}"
            ) from exc
        self._module, self._setup, self._stop = module, setup, stop
        self._run = uuid.uuid4().hex
        self._end = NO_END
        self._end_variable = _end_variable(self._run, self._client)
        self._end_variable.set(NO_END)
        workers = self._client.nthreads()
        # Each worker process prepares while this one sets up.
        self._preparations = [
            self._client.submit(
                _prepare_early,
                self._run,
                module,
                setup,
                workers=[address],
                allow_other_workers=False,
                pure=False,
            )
            for address in workers
        ]
        self._window = 2 * (sum(workers.values()) or 1)  # batches in flight
        self._done = as_completed(loop=self._client.loop)
        self._batch: list[Task] = []
        self._batch_size = 1
        self._futures: dict[Any, list[Task]] = {}
        self._cells = self._seconds = 0.0
        self._skipped: list[tuple[int, Outcome]] = []

    def prepared(self, build: Callable[..., Any]) -> None:
        """Cluster workers prepare themselves: the command's build stays here."""

    def room(self) -> bool:
        return len(self._futures) < self._window

    def submit(self, index: int, cell: str, gds: str, ports: str, log: str) -> None:
        self._batch.append((index, cell, gds, ports, log))
        if len(self._batch) >= self._batch_size:
            self._dispatch()

    def _dispatch(self) -> None:
        if not self._batch:
            return
        batch, self._batch = self._batch, []
        self._send(batch)

    def _send(self, batch: list[Task]) -> None:
        future = self._client.submit(
            _build_batch, self._run, self._module, self._setup, self._stop, batch, pure=False
        )
        self._futures[future] = batch
        self._done.add(future)

    def stop_after(self, index: int) -> None:
        """Cells after ``index`` that have not started are skipped; a batch
        already running (about BATCH_SECONDS of work) runs to its end."""
        self._skipped += [(task[0], SKIPPED) for task in self._batch if task[0] > index]
        self._batch = [task for task in self._batch if task[0] <= index]
        if index < self._end:
            self._end = index
            self._end_variable.set(index)

    def wait(self) -> list[tuple[int, Outcome]]:
        from distributed import KilledWorker

        if self._skipped:
            skipped, self._skipped = self._skipped, []
            return skipped
        self._dispatch()
        while True:
            if not self._futures:
                raise BuildWorkerError("no cell is being built")
            future = next(self._done)
            batch = self._futures.pop(future)
            try:
                outcomes, seconds = future.result()
            except KilledWorker as exc:
                if len(batch) == 1:
                    return [(batch[0][0], _killed(exc))]
                # Which cell of the batch it was shows when each goes alone.
                for task in batch:
                    self._send([task])
                continue
            self._learn(len(batch), seconds)
            return outcomes

    def _learn(self, cells: int, seconds: float) -> None:
        """Sizes the next batches to about BATCH_SECONDS of work, at most
        BATCH_GROWTH times the last size, so that slow cells travel alone."""
        self._cells += cells
        self._seconds += seconds
        per_cell = self._seconds / self._cells
        fitting = int(BATCH_SECONDS / per_cell) if per_cell > 0 else MAX_BATCH
        self._batch_size = max(1, min(fitting, BATCH_GROWTH * self._batch_size, MAX_BATCH))

    def close(self) -> None:
        self._end_variable.delete()
        self._client.close()

    def terminate(self) -> None:
        with contextlib.suppress(Exception):
            self._client.cancel([*self._futures, *self._preparations])
            self._end_variable.delete()
        self._client.close()
