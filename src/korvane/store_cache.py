"""The store's version and document shared through memcached.

Every process of a deployment asks memcached for the store's version on each
request (one ``get``) and reloads only when it changed; the process that
writes the store publishes the new document and then its version, so the
others need not parse the file.  Memcached is a help, never a requirement:
when it cannot be reached the caller falls back to watching the file, one
warning is logged, and the connection is tried again after a pause that
doubles up to a limit.
"""

import json
import logging
import time

log = logging.getLogger(__name__)

#: What ``version`` answers when memcached holds no version, and when it
#: cannot be asked.
MISSING = "missing"
DOWN = "down"

#: Memcached's default item size limit is 1 MiB; a little is left for its
#: own bookkeeping.
LARGEST_DOCUMENT = 1000 * 1000

FIRST_PAUSE = 0.5
LONGEST_PAUSE = 30.0


def parse_address(text):
    """(host, port) of a "HOST:PORT" setting."""
    host, sep, port = text.strip().rpartition(":")
    if not sep or not host or not port.isdigit():
        raise ValueError("korvane.memcached: expected HOST:PORT, got {!r}".format(text))
    return host.strip("[]"), int(port)


class StoreCache:
    """The shared copy of one store in memcached, under ``prefix``.

    Not thread-safe: the store calls it under its own lock.
    """

    def __init__(self, address, prefix="korvane.store", timeout=0.5, client=None):
        self.address = parse_address(address) if isinstance(address, str) else address
        # Memcached keys are at most 250 bytes of printable ASCII without blanks.
        if not prefix or len(prefix) > 200 or not all("!" <= char <= "~" for char in prefix):
            raise ValueError("korvane.memcached_prefix: expected printable ASCII without blanks, got {!r}".format(prefix))
        self.version_key = prefix + ".version"
        self.document_key = prefix + ".document"
        # Imported here: a server without memcached never loads the client
        # (nor the ssl module it pulls in).
        from pymemcache.exceptions import MemcacheError

        self._failures = (MemcacheError, OSError)
        if client is None:
            from pymemcache.client.base import Client

            client = Client(self.address, connect_timeout=timeout, timeout=timeout, no_delay=True)
        self.client = client
        self._retry_at = 0.0
        self._pause = FIRST_PAUSE
        self.down = False

    def _call(self, method, *args, **kwargs):
        """``method`` of the client, or DOWN when memcached is unreachable
        or still in its pause."""
        if self.down and time.monotonic() < self._retry_at:
            return DOWN
        try:
            result = getattr(self.client, method)(*args, **kwargs)
        except self._failures as error:
            self._failed(error)
            return DOWN
        if self.down:
            self.down = False
            self._pause = FIRST_PAUSE
            log.info("memcached at %s:%s is reachable again", *self.address)
        return result

    def _failed(self, error):
        try:
            self.client.close()
        except Exception:  # closing a broken connection must not hide the first failure
            pass
        if not self.down:
            self.down = True
            log.warning(
                "memcached at %s:%s cannot be reached (%s); watching the store file instead",
                self.address[0], self.address[1], type(error).__name__,
            )
        else:
            self._pause = min(self._pause * 2, LONGEST_PAUSE)
        self._retry_at = time.monotonic() + self._pause

    def version(self):
        """The published version (an int), MISSING or DOWN."""
        value = self._call("get", self.version_key)
        if value is DOWN:
            return DOWN
        try:
            return int(value) if value is not None else MISSING
        except ValueError:
            return MISSING

    def document(self, version):
        """The published document when it is the one of ``version``, else None."""
        value = self._call("get", self.document_key)
        if value is DOWN or value is None:
            return None
        try:
            data = json.loads(value)
        except ValueError:
            return None
        return data if isinstance(data, dict) and data.get("version") == version else None

    def publish(self, data, version):
        """Make ``data`` the shared document.  The document goes first, so
        a process that sees the new version also finds its document."""
        body = json.dumps(data, separators=(",", ":")).encode("utf-8")
        if len(body) <= LARGEST_DOCUMENT:
            stored = self._call("set", self.document_key, body, noreply=False)
        else:
            # Too large for memcached: the version alone is published, and
            # the others read the file.  The previous document is stale.
            stored = self._call("delete", self.document_key, noreply=False)
        if stored is DOWN:
            return False
        return self._call("set", self.version_key, str(version).encode(), noreply=False) is not DOWN

    def offer(self, data, version):
        """Publish ``data`` only where memcached holds no version yet (a
        restarted memcached), never over a version another process set."""
        body = json.dumps(data, separators=(",", ":")).encode("utf-8")
        if len(body) <= LARGEST_DOCUMENT and self._call("add", self.document_key, body, noreply=False) is DOWN:
            return
        self._call("add", self.version_key, str(version).encode(), noreply=False)
