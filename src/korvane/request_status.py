"""Progress tracking of requests.

Each request that the server tracks carries a ``RequestStatus`` (as
``request.request_status``); its steps append status codes to it and add
the ids the request concerns.  A ``RequestStatusRegistry`` keeps the most
recent trackers so that a status view can list them.
"""

import itertools
import os
import secrets
import threading
from collections import OrderedDict


def _new_process_token():
    """A token of this process, so that request ids differ between the
    processes serving one deployment (and from a process's earlier life):
    the status of one request must not be looked up in another process
    under the same number."""
    global _PROCESS_TOKEN
    _PROCESS_TOKEN = secrets.token_hex(4)


_PROCESS_TOKEN = None
_new_process_token()
# A worker forked from a process that has made its registry gets a token
# of its own.
os.register_at_fork(after_in_child=_new_process_token)


class StatusCodes:
    """Status codes, in the order a request normally reaches them."""

    RECEIVED = 100
    CHECK_REQUEST_AUTH = 200
    REQUEST_PREPROCESS = 300
    EXECUTING = 400
    DONE = 500
    FAILED = 900

    @classmethod
    def name_of(cls, code):
        """Return the constant's name for ``code``; ValueError if unknown."""
        for name, value in vars(cls).items():
            if name.isupper() and value == code:
                return name
        raise ValueError("Unknown status code: {!r}".format(code))


class RequestStatus:
    """The status history and metadata of one request.

    ``statuses`` lists the codes in the order they were added;
    ``metadata`` holds the ids the request concerns (query, database,
    user), later values replacing earlier ones.
    """

    def __init__(self, request_id):
        self.request_id = request_id
        self.statuses = []
        self.metadata = {}

    def add_status(self, code):
        self.statuses.append(code)

    def update_metadata(self, mapping):
        self.metadata.update(mapping)

    @property
    def current(self):
        """The latest status code, or None before the first."""
        return self.statuses[-1] if self.statuses else None

    def as_dict(self):
        return {
            "request_id": self.request_id,
            "statuses": [StatusCodes.name_of(code) for code in self.statuses],
            "metadata": dict(self.metadata),
        }


class RequestStatusRegistry:
    """The trackers of the last ``capacity`` requests, oldest dropped first.
    Request ids are the process's token and a count ("3f9a0c21-17").

    Safe to share between the threads that serve requests.
    """

    def __init__(self, capacity=1000):
        self.capacity = capacity
        self._trackers = OrderedDict()
        self._ids = itertools.count(1)
        # Held through acquire / try / finally, never `with`: the interpreter's
        # call of a lock's __exit__ allocates its arguments, and when memory
        # runs out there the lock stays held and every later caller hangs.
        self._lock = threading.Lock()

    def new(self):
        """Make, keep and return a tracker for a new request."""
        self._lock.acquire()
        try:
            tracker = RequestStatus("{}-{}".format(_PROCESS_TOKEN, next(self._ids)))
            tracker.add_status(StatusCodes.RECEIVED)
            self._trackers[tracker.request_id] = tracker
            while len(self._trackers) > self.capacity:
                self._trackers.popitem(last=False)
            return tracker
        finally:
            self._lock.release()

    def get(self, request_id):
        self._lock.acquire()
        try:
            return self._trackers.get(request_id)
        finally:
            self._lock.release()

    def find(self, **metadata):
        """Return the kept trackers whose metadata holds every given item,
        oldest first."""
        self._lock.acquire()
        try:
            trackers = list(self._trackers.values())
        finally:
            self._lock.release()
        return [
            t
            for t in trackers
            if all(t.metadata.get(k) == v for k, v in metadata.items())
        ]
