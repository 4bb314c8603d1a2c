"""Where the tiler's tasks run: a concurrent.futures executor, or Dask.

A runner offers `map` (results in the order of the arguments), `sum` (the
total of the results, counts as `compact_counts` gives them, which is the
same in any order of completion), `share` (an argument many tasks take,
sent to Dask workers once), `send` (arguments each of which one task takes,
sent ahead of the tasks), `per_worker` (an object that each worker
process makes and keeps, for its tasks' caches) and `task_count` (how many
tasks parts that one task can combine should make).
"""

from __future__ import annotations

import importlib
import os
from collections.abc import Callable
from concurrent.futures import FIRST_EXCEPTION, Executor, ThreadPoolExecutor, as_completed, wait
from typing import Any

import numpy as np

Task = Callable[..., Any]


def _bar(progress: bool, total: int, desc: str) -> Any:
    if not progress:
        return None
    from tqdm import tqdm
    return tqdm(total=total, desc=desc, unit="task", leave=False)


class ExecutorRunner:
    sends_arguments = False  # tasks share this process's memory (threads)

    def __init__(self, executor: Executor, progress: bool):
        self.executor = executor
        self.progress = progress
        # Other executors (processes) copy every argument to their workers.
        self.sends_arguments = not isinstance(executor, ThreadPoolExecutor)

    def share(self, value: Any) -> Any:
        return value

    def send(self, values: list[Any]) -> list[Any]:
        return values

    def per_worker(self, factory: Callable[[], Any]) -> Any:
        return factory()

    def task_count(self, parts: int) -> int:
        return parts  # tasks cost little to start here, and balance best

    def _submit(self, fn: Task, args_list: Any) -> list[Any]:
        return [self.executor.submit(fn, *args) for args in args_list]

    def map(self, fn: Task, args_list: Any, desc: str, batches: int | None = None) -> list[Any]:
        # Tasks of an executor cost little to start: `batches` is for Dask.
        futures = self._submit(fn, args_list)
        bar = _bar(self.progress, len(futures), desc)
        try:
            for future in as_completed(futures):
                future.result()  # the first failure stops the build
                if bar:
                    bar.update()
            return [future.result() for future in futures]
        finally:
            self._cancel(futures, bar)

    def sum(self, fn: Task, args_list: Any, desc: str) -> Any:
        futures = self._submit(fn, args_list)
        bar = _bar(self.progress, len(futures), desc)
        total: Any = None
        try:
            pending = set(futures)
            futures.clear()  # results are freed once added
            while pending:
                done, pending = wait(pending, return_when=FIRST_EXCEPTION)
                for future in done:
                    total = _add_into(total, future.result())
                    if bar:
                        bar.update()
            return total
        finally:
            self._cancel(list(pending), bar)

    @staticmethod
    def _cancel(futures: Any, bar: Any) -> None:
        for future in futures:
            future.cancel()
        if bar:
            bar.close()


def compact_counts(counts: Any) -> Any:
    """A copy of unsigned `counts` (of at most 2^32 cells) for `sum`, in the
    narrowest unsigned dtype that holds its largest count (a task's
    histogram of a uniform cloud fits bytes): (size, cells, counts) of the
    non-zero cells while that is smaller than the dense array (chunk
    histograms of scans and surfaces are mostly zero), the dense array
    otherwise. What crosses from a Dask worker is then a quarter as large."""
    dtype = np.min_scalar_type(int(counts.max(initial=0)))
    width = dtype.itemsize
    # No index array for a dense one.
    if np.count_nonzero(counts) * (4 + width) >= counts.size * width:
        return counts.astype(dtype)
    cells = np.flatnonzero(counts)
    return counts.size, cells.astype(np.uint32), counts[cells].astype(dtype)


def _add_into(total: Any, part: Any) -> Any:
    """total + part, dense uint64, in place where `total` is an array (a
    fresh array costs page faults)."""
    if total is None:
        total = np.zeros(part.size if isinstance(part, np.ndarray) else part[0], dtype=np.uint64)
    if isinstance(part, np.ndarray):
        total += part
    else:
        total[part[1]] += part[2]  # the cells of one part are distinct
    return total


def _each(fn: Task, args_list: Any) -> list[Any]:
    return [fn(*args) for args in args_list]


class DaskRunner:
    sends_arguments = True

    def __init__(self, client: Any, progress: bool):
        # Typed as Any: Dask is optional and only partly typed.
        self.dask: Any = importlib.import_module("dask")
        self.client = client
        self.progress = progress

    def share(self, value: Any) -> Any:
        if self.client is None:
            return self.dask.delayed(value, traverse=False)
        # On every worker at once, and kept there from phase to phase until
        # the runner is gone.
        return self.client.scatter([value], broadcast=True, hash=False)[0]

    def send(self, values: list[Any]) -> list[Any]:
        """Large arguments go to the workers in one call, not inside the
        task graph, which the scheduler would hold and pass on."""
        if self.client is None:
            return values
        return list(self.client.scatter(values, hash=False))

    def per_worker(self, factory: Callable[[], Any]) -> Any:
        if self.client is None:
            return self.share(factory())
        # Made by one worker without waiting for it here; a worker whose
        # task needs it gets a pickled copy once and keeps that.
        return self.client.submit(factory, pure=False)

    def task_count(self, parts: int) -> int:
        """Two tasks per worker thread: the result of combined parts then
        crosses to the client once per task, not once per part."""
        if self.client is None:
            threads = os.cpu_count() or 1
        else:
            threads = sum(self.client.nthreads().values())
        return max(1, min(parts, 2 * threads))

    def _results(self, tasks: list[Any], desc: str) -> Any:
        """Yields (index, result) of the tasks as they finish, with a client
        the results fetched as they come in (not with a round trip each, nor
        all at the end); the first failure raises."""
        if self.client is None:
            yield from enumerate(self.dask.compute(*tasks))
            return
        dask_completed: Any = importlib.import_module("distributed").as_completed
        futures = self.client.compute(tasks)
        index_of = {future.key: i for i, future in enumerate(futures)}
        bar = _bar(self.progress, len(futures), desc)
        try:
            for future, result in dask_completed(futures, with_results=True):
                if bar:
                    bar.update()
                yield index_of[future.key], result
        finally:
            self.client.cancel(futures)
            if bar:
                bar.close()

    def _compute(self, tasks: list[Any], desc: str) -> list[Any]:
        results: list[Any] = [None] * len(tasks)
        for i, result in self._results(tasks, desc):
            results[i] = result
        return results

    def map(self, fn: Task, args_list: Any, desc: str, batches: int | None = None) -> list[Any]:
        """With `batches`, tasks too small to pay for their scheduling run
        in about that many groups."""
        args_list = list(args_list)
        if batches is not None and len(args_list) > batches:
            size = -(-len(args_list) // batches)
            groups = [args_list[i:i + size] for i in range(0, len(args_list), size)]
            done = self.map(_each, [(fn, group) for group in groups], desc)
            return [result for group in done for result in group]
        call = self.dask.delayed(fn, pure=False)
        return self._compute([call(*args) for args in args_list], desc)

    def sum(self, fn: Task, args_list: Any, desc: str) -> Any:
        """Adds the results here as they come in."""
        call = self.dask.delayed(fn, pure=False)
        total = None
        for _, part in self._results([call(*args) for args in args_list], desc):
            total = _add_into(total, part)
        return total


def make_runner(executor: Executor | None, client: Any, dask_input: bool,
                progress: bool) -> ExecutorRunner | DaskRunner:
    if client is not None or dask_input:
        return DaskRunner(client, progress)
    assert executor is not None
    return ExecutorRunner(executor, progress)
