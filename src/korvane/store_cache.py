"""The store's version and document shared through memcached.

Every process of a deployment asks memcached for the store's stamp (its
version and a digest of its content) on each request (one ``get``) and
reloads only when it is not the stamp of the store it serves; the process
that writes the store publishes the new document and then its stamp, so the
others need not parse the file.  They still look at the file's signature
(one ``stat``): a writer cut off from memcached cannot tell them.
Memcached is a help, never a requirement: when it cannot be reached the
caller falls back to watching the file, one warning is logged, and the
connection is tried again after a pause that doubles up to a limit.
"""

import json
import logging
import time

from korvane.store_writer import MAX_VERSION

log = logging.getLogger(__name__)

#: What ``version`` answers when memcached holds no version, and when it
#: cannot be asked.
MISSING = "missing"
DOWN = "down"
#: What a call answers when memcached refuses a value as too large.
TOO_LARGE = "too large"

#: Memcached's default item size limit is 1 MiB; a little is left for its
#: own bookkeeping.
LARGEST_DOCUMENT = 1000 * 1000

FIRST_PAUSE = 0.5
LONGEST_PAUSE = 30.0


def parse_address(text):
    """(host, port) of a "HOST:PORT" setting."""
    host, sep, port = text.strip().rpartition(":")
    if not sep or not host or not port.isdigit() or not 0 < int(port) <= 65535:
        raise ValueError("korvane.memcached: expected HOST:PORT with a port from 1 to 65535, got {!r}".format(text))
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
        from pymemcache.exceptions import MemcacheServerError

        self._server_error = MemcacheServerError
        if client is None:
            from pymemcache.client.base import Client

            client = Client(self.address, connect_timeout=timeout, timeout=timeout, no_delay=True)
        self.client = client
        self._retry_at = 0.0
        self._pause = FIRST_PAUSE
        self.down = False
        self._told_too_large = False

    def _call(self, method, *args, urgent=False, **kwargs):
        """``method`` of the client, or DOWN when memcached is unreachable
        or (unless ``urgent``) still in its pause; TOO_LARGE when it
        refuses a value larger than its item size limit (``-I``), which
        it does without failing."""
        if self.down and not urgent and time.monotonic() < self._retry_at:
            return DOWN
        try:
            result = getattr(self.client, method)(*args, **kwargs)
        except self._server_error as error:
            if b"too large" not in (error.args[0] if error.args and isinstance(error.args[0], bytes) else b""):
                self._failed(error)
                return DOWN
            result = TOO_LARGE
        except Exception as error:
            # Besides the client's own errors, a reply that breaks the
            # protocol raises whatever its parser met (a ValueError, a
            # KeyError, an IndexError): either way the connection is of no
            # use, and the file is watched until memcached answers again.
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

    def stamp(self):
        """The published stamp ("VERSION:DIGEST", see
        ``korvane.store_writer.document_stamp``), MISSING or DOWN."""
        value = self._call("get", self.version_key)
        if value is DOWN:
            return DOWN
        try:
            stamp = value.decode("ascii") if value is not None else None
        except UnicodeDecodeError:
            return MISSING
        return stamp if stamp is not None and stamp_version(stamp) is not None else MISSING

    def document(self, stamp):
        """``(document, file_signature)`` of the published document when it
        is the one of ``stamp``, else None.  The signature is the store
        file's (modification time, size, inode) when it held that document:
        a reader that finds the file changed since knows it was written
        without memcached being told."""
        value = self._call("get", self.document_key)
        if value is DOWN or value is None:
            return None
        head, _, body = value.partition(b"\n")
        published, _, signature = head.partition(b" ")
        if published != stamp.encode("ascii"):
            return None
        try:
            data = json.loads(body)
            signature = tuple(int(number) for number in signature.split(b","))
        except (ValueError, RecursionError):  # not a document any process wrote
            return None
        return (data, signature) if isinstance(data, dict) and len(signature) == 3 else None

    def publish(self, data, stamp, signature):
        """Make ``data``, whose stamp is ``stamp``, the shared document;
        False when memcached could not be told.  ``signature`` is the store
        file's (modification time, size, inode) holding ``data``.  The
        document goes first, so a process that sees the new stamp also
        finds its document."""
        head = "{} {}".format(stamp, ",".join(str(number) for number in signature))
        body = head.encode("ascii") + b"\n" + json.dumps(data, separators=(",", ":")).encode("utf-8")
        stored = self._call("set", self.document_key, body, noreply=False) if len(body) <= LARGEST_DOCUMENT else TOO_LARGE
        if stored is TOO_LARGE:
            # Too large for memcached (for its default limit, or for the
            # one it was started with): the stamp alone is published, and
            # the others read the file.  The previous document is stale.
            if not self._told_too_large:
                self._told_too_large = True
                log.warning(
                    "memcached at %s:%s takes no item of %d bytes (%s): the store's stamp alone is shared, and "
                    "the processes read the store file",
                    self.address[0], self.address[1], len(body),
                    "its item size limit, -I" if len(body) <= LARGEST_DOCUMENT else "its default item size limit, 1 MB",
                )
            stored = self._call("delete", self.document_key, noreply=False)
        if stored is DOWN:
            return False
        return self._call("set", self.version_key, stamp.encode("ascii"), noreply=False) is not DOWN

    def withdraw(self):
        """Remove the published stamp, so that every process goes to the
        file until one publishes again; False when memcached could not be
        told.  Tried even in the pause after a failure: one failed call of
        this process (a connection memcached's restart broke, a timeout)
        says nothing of whether the others still read the stamp, and a
        write must not wait out the pause."""
        return self._call("delete", self.version_key, noreply=False, urgent=True) is not DOWN


def stamp_version(stamp):
    """The version number of a stamp; None when it is not one."""
    number, sep, digest = stamp.partition(":")
    # Counted in digits first: text of thousands of them is no number the
    # interpreter converts, and none a store carries.
    if not (sep and number.isdigit() and digest.isalnum()) or len(number) > len(str(MAX_VERSION)):
        return None
    version = int(number)
    return version if version <= MAX_VERSION else None
