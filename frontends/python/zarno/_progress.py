"""Progress of a study: a tqdm bar, a callback, or nothing."""

import collections
import sys
import time

Progress = collections.namedtuple(
    "Progress", "runs_done runs rounds_done rounds runs_in_flight seconds")
Progress.__doc__ = """Where a study stands: runs finished of all runs, update rounds done of
all rounds planned (a run that stops early with a tolerance leaves its rest
undone), runs going on, and seconds since the study started."""


def _interactive():
    if "ipykernel" in sys.modules:
        return True
    try:
        return sys.stderr.isatty()
    except (AttributeError, ValueError):
        return False


class Reporter:
    """Turns the native ticks (every 100 ms while runs go on, on the calling
    thread) into a bar or calls of the caller's function."""

    def __init__(self, progress, runs, rounds):
        self.runs, self.rounds = runs, rounds
        self.start = time.monotonic()
        self.callback = None
        self.bar = None
        if callable(progress):
            self.callback = progress
        elif progress is None or progress is True:
            if progress is True or _interactive():
                try:
                    from tqdm.auto import tqdm
                except ImportError:
                    tqdm = None
                if tqdm is not None:
                    self.bar = tqdm(total=rounds, unit="round", desc="zarno", leave=True, disable=False)
        elif progress is not False:
            raise TypeError(f"progress must be None, True, False or a function, not {progress!r}")

    @property
    def tick(self):
        return self._tick if (self.bar is not None or self.callback is not None) else None

    def _tick(self, runs_done, rounds_done, in_flight):
        if self.bar is not None:
            self.bar.update(max(0, rounds_done - self.bar.n))
            self.bar.set_postfix_str(f"runs {runs_done}/{self.runs}", refresh=False)
        if self.callback is not None:
            self.callback(Progress(runs_done, self.runs, rounds_done, self.rounds, in_flight,
                                   time.monotonic() - self.start))

    def finish(self, done, rounds_done=None):
        """The study ended: complete (`done`), or interrupted or failed."""
        if self.bar is not None:
            if done:
                self.bar.update(self.bar.total - self.bar.n)
                self.bar.set_postfix_str(f"runs {self.runs}/{self.runs}", refresh=False)
            self.bar.close()
        if done and self.callback is not None:
            self.callback(Progress(self.runs, self.runs, self.rounds if rounds_done is None else rounds_done,
                                   self.rounds, 0, time.monotonic() - self.start))
