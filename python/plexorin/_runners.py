"""Where the tiler's tasks run: a concurrent.futures executor, or Dask.

A runner offers `map` (results in the order of the arguments), `sum` (the
total of the results, which is the same in any order of completion) and
`share` (an argument many tasks take, sent to Dask workers once).
"""

from __future__ import annotations

import importlib

from concurrent.futures import FIRST_EXCEPTION, Executor, ThreadPoolExecutor, as_completed, wait
from typing import Any, Callable

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

    def _submit(self, fn: Task, args_list: Any) -> list[Any]:
        return [self.executor.submit(fn, *args) for args in args_list]

    def map(self, fn: Task, args_list: Any, desc: str) -> list[Any]:
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
                    part = future.result()
                    if total is None:
                        total = part.astype("uint64")
                    else:
                        total += part  # in place: a fresh array costs page faults
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


def _add(a: Any, b: Any) -> Any:
    return a + b


def _widen(a: Any) -> Any:
    return a.astype("uint64")


class DaskRunner:
    sends_arguments = True

    def __init__(self, client: Any, progress: bool):
        # Typed as Any: Dask is optional and only partly typed.
        self.dask: Any = importlib.import_module("dask")
        self.client = client
        self.progress = progress

    def share(self, value: Any) -> Any:
        return self.dask.delayed(value, traverse=False)

    def _compute(self, tasks: list[Any], desc: str) -> list[Any]:
        if self.client is None:
            return list(self.dask.compute(*tasks))
        dask_completed: Any = importlib.import_module("distributed").as_completed
        futures = self.client.compute(tasks)
        bar = _bar(self.progress, len(futures), desc)
        try:
            for future in dask_completed(futures):
                if future.status == "error":
                    future.result()
                if bar:
                    bar.update()
            return list(self.client.gather(futures))
        finally:
            for future in futures:
                future.cancel()
            if bar:
                bar.close()

    def map(self, fn: Task, args_list: Any, desc: str) -> list[Any]:
        call = self.dask.delayed(fn, pure=False)
        return self._compute([call(*args) for args in args_list], desc)

    def sum(self, fn: Task, args_list: Any, desc: str) -> Any:
        """Adds the results pairwise on the workers: one result comes back."""
        call = self.dask.delayed(fn, pure=False)
        parts = [self.dask.delayed(_widen)(call(*args)) for args in args_list]
        add = self.dask.delayed(_add, pure=False)
        while len(parts) > 1:
            parts = [add(*parts[i:i + 2]) if i + 1 < len(parts) else parts[i]
                     for i in range(0, len(parts), 2)]
        return self._compute(parts, desc)[0]


def make_runner(executor: Executor | None, client: Any, dask_input: bool,
                progress: bool) -> ExecutorRunner | DaskRunner:
    if client is not None or dask_input:
        return DaskRunner(client, progress)
    assert executor is not None
    return ExecutorRunner(executor, progress)
