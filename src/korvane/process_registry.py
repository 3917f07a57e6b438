"""Deferred work of the server, run on the way in of later requests.

Code that learns of work to do (say, reloading a database model after its
definition changed) registers a callable; the next request that runs the
registry carries it out.  Each callable runs once.
"""

import logging
import threading
from collections import deque

log = logging.getLogger("korvane")


class ProcessRegistry:
    """A queue of pending callables, safe to share between threads.

    ``executed`` counts the calls of ``execute``; ``completed`` counts the
    callables that have run (whether or not they raised).
    """

    def __init__(self):
        self.executed = 0
        self.completed = 0
        self._pending = deque()
        self._lock = threading.Lock()

    def register(self, func):
        """Queue ``func`` (called without arguments) and return it, so the
        method can serve as a decorator."""
        with self._lock:
            self._pending.append(func)
        return func

    @property
    def pending(self):
        """The number of callables waiting to run."""
        return len(self._pending)

    def execute(self):
        """Run every callable pending at the time of the call, in the order
        registered, and return how many ran.  A callable that raises is
        logged and dropped; the others still run."""
        with self._lock:
            self.executed += 1
            batch = list(self._pending)
            self._pending.clear()
        for func in batch:
            try:
                func()
            except Exception:
                log.exception("Registered process %r failed.", func)
            finally:
                with self._lock:
                    self.completed += 1
        return len(batch)
