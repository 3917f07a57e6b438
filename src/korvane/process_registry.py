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
        # Held through acquire / try / finally, never `with`: the interpreter's
        # call of a lock's __exit__ allocates its arguments, and when memory
        # runs out there the lock stays held and every later caller hangs.
        self._lock = threading.Lock()

    def register(self, func):
        """Queue ``func`` (called without arguments) and return it, so the
        method can serve as a decorator."""
        self._lock.acquire()
        try:
            self._pending.append(func)
        finally:
            self._lock.release()
        return func

    @property
    def pending(self):
        """The number of callables waiting to run."""
        return len(self._pending)

    def execute(self):
        """Run every callable pending at the time of the call, in the order
        registered, and return how many ran.  A callable that raises is
        logged and dropped; the others still run."""
        self._lock.acquire()
        try:
            self.executed += 1
            batch = list(self._pending)
            self._pending.clear()
        finally:
            self._lock.release()
        for func in batch:
            try:
                func()
            except Exception:
                log.exception("Registered process %r failed.", func)
            finally:
                self._lock.acquire()
                try:
                    self.completed += 1
                finally:
                    self._lock.release()
        return len(batch)
