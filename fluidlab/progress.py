"""Progress bars on standard error, and the toolkit's printed lines kept apart.

The toolkit's modules print through Python's ``sys.stdout`` (frame numbers,
the cumulative frame table, lost-frame lines). While a ``ToolkitOutput`` is
installed, what a thread prints inside ``with output.collect(key):`` is kept
under ``key`` instead of reaching the terminal, where it would break up the
progress bar; the command writes it to a log afterwards, unchanged.
"""
from __future__ import annotations

import sys
import threading
from contextlib import contextmanager

from tqdm import tqdm


def bar(total: int, description: str, unit: str, quiet: bool) -> tqdm:
    """A bar of ``total`` units on standard error: done / total, rate, time left."""
    return tqdm(total=total, desc=description, unit=unit, file=sys.stderr, disable=quiet,
                dynamic_ncols=True, smoothing=0.1, mininterval=0.2)


class ToolkitOutput:
    """A stand-in for sys.stdout that keeps the output of collecting threads."""

    def __init__(self):
        self._real = None
        self._collected: dict[object, list[str]] = {}
        self._threads: dict[int, list[str]] = {}
        self._lock = threading.Lock()

    def __enter__(self):
        self._real = sys.stdout
        sys.stdout = self
        return self

    def __exit__(self, *exc):
        sys.stdout = self._real
        return False

    @contextmanager
    def collect(self, key):
        """What the current thread prints in this block is kept under ``key``."""
        ident = threading.get_ident()
        with self._lock:
            kept = self._collected.setdefault(key, [])
            self._threads[ident] = kept
        try:
            yield
        finally:
            with self._lock:
                self._threads.pop(ident, None)

    def text(self, keys=None) -> str:
        """The kept output of ``keys`` (by default all, in the order of their keys:
        the workers' numbers, that is the order of the recording)."""
        keys = sorted(self._collected) if keys is None else keys
        return "".join("".join(self._collected.get(key, [])) for key in keys)

    def write(self, text: str) -> int:
        kept = self._threads.get(threading.get_ident())
        if kept is None:
            return self._real.write(text)
        kept.append(text)
        return len(text)

    def flush(self) -> None:
        self._real.flush()

    def __getattr__(self, name):  # encoding, isatty, fileno, ... of the real stream
        return getattr(self._real, name)
