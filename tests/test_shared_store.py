"""The store shared by several processes through memcached, with it and without it, in-process and as two servers."""

import contextlib
import json
import logging
import shutil
import signal
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import pytest

from helpers import LONG_RUN, UNKNOWN_KEY, Memcached, free_loopback_port, stop_process
from korvane import store_cache
from korvane.app import SetupError
from korvane.config_storage import ConfigStorage
from korvane.store_cache import StoreCache
from test_app import REPO, ask, check, copy_example, data_dir, edit_store, make_app  # noqa: F401 (data_dir: fixture)
from test_server import Server

UNREACHABLE = "cannot be reached"


@pytest.fixture
def memcached(request):
    server = Memcached(*getattr(request, "param", ())).start()
    yield server
    server.stop()


class CountingClient:
    """A memcached client that counts the calls made through it."""

    def __init__(self, client):
        self.client, self.calls = client, []

    def __getattr__(self, name):
        method = getattr(self.client, name)
        return lambda *args, **kwargs: (self.calls.append(name), method(*args, **kwargs))[1]


def shared_store(path, address, prefix="test"):
    cache = StoreCache(address, prefix=prefix)
    cache.client = CountingClient(cache.client)
    return ConfigStorage.from_file(str(path), cache=cache)


@pytest.fixture
def pair(data_dir, memcached):
    """The store file and two stores sharing it through memcached: a writer and a reader."""
    path = data_dir / "store.json"
    return path, shared_store(path, memcached.address), shared_store(path, memcached.address)


def count_file_reads(monkeypatch, store):
    reads, original = [], store._read_once
    monkeypatch.setattr(store, "_read_once", lambda *path: (reads.append(1), original(*path))[1])
    return reads


def add_query(query_id, sql="SELECT 1"):
    return lambda data: data.setdefault("querydefs", {}).__setitem__(query_id, {"database": "demo", "sql": sql})


# --- the per-request refresh -------------------------------------------------------------------


#: A memcached taking items of at most 2 KiB, less than the example store.
SMALL_ITEMS = ("-I", "2k", "-o", "slab_chunk_max=1024")


@pytest.mark.parametrize("sql, file_reads, memcached", [("SELECT 1", 0, ()), ("x" * (2 << 20), 1, ()),
                                                        ("SELECT 1", 1, SMALL_ITEMS)],
                         ids=["published-document", "too-large-for-memcached", "above-memcacheds-item-limit"],
                         indirect=["memcached"])
def test_a_write_reaches_another_process_through_memcached(pair, memcached, monkeypatch, caplog, sql, file_reads):
    # A document too large for memcached publishes its version alone: the others read the file, once.  Refused for
    # memcached's own limit, it is no sign that memcached cannot be reached.
    path, writer, reader = pair
    reader.pull()
    reads = count_file_reads(monkeypatch, reader)
    writer.write(add_query("fresh", sql))
    # Said once by each process that publishes such a document: both stores of ``pair`` when they first publish
    # under the small item limit; the writer alone for the document over 1 MB (it was once never said).
    logged = " ".join(r.getMessage() for when in ("setup", "call") for r in caplog.get_records(when))
    assert not writer.cache.down and UNREACHABLE not in logged
    assert logged.count("item size limit") == (2 if memcached.options else file_reads)
    assert writer.cache.client.get("test.version") == writer.stamp.encode()
    assert (writer.cache.client.get("test.document") is None) == bool(file_reads)
    reader.pull()
    assert "fresh" in reader.querydefs and reader.version == writer.version == 1
    assert len(reads) == file_reads
    assert reader.databases["demo"].sqlite_path == str(path.parent / "demo.sqlite3")


def test_a_stale_published_version_is_replaced_by_the_newer_one(pair):
    _, writer, reader = pair
    before = [writer.cache.client.get(key) for key in ("test.version", "test.document")]
    writer.write(add_query("first"))
    # A failed publish (memcached away during the write) left the version before it behind.
    writer.cache.client.set("test.version", before[0])
    writer.cache.client.set("test.document", before[1])
    writer.pull()
    assert writer.cache.client.get("test.version") == writer.stamp.encode()
    reader.pull()
    assert "first" in reader.querydefs


def test_memcached_back_after_a_restart_gets_the_store_again(pair, memcached, monkeypatch):
    _, writer, reader = pair
    writer.write(add_query("before"))
    memcached.stop()
    memcached.start()  # same port, empty
    # The reader's connection died with the old memcached: it serves from the file and tries again after a pause.
    reader.pull()
    monkeypatch.setattr(store_cache.time, "monotonic", lambda: time.time() + 3600)
    reader.pull()
    assert "before" in reader.querydefs and reader.cache.client.get("test.version") == writer.stamp.encode()


# --- memcached's copy against the file ----------------------------------------------------------


def put_back(path, copy):
    """Replace the store file by an earlier ``copy`` of it, as an operator restoring a backup or starting over does."""
    path.unlink()
    path.write_bytes(copy)


@pytest.mark.parametrize("then", ["write", "restart"])
def test_a_store_file_put_back_to_an_earlier_copy_is_served_after_the_next_write_or_a_restart(pair, memcached, then):
    path, writer, reader = pair
    backup = path.read_bytes()
    for n in range(3):
        writer.write(add_query("q{}".format(n)))
    reader.pull()
    assert "q2" in reader.querydefs
    put_back(path, backup)
    if then == "write":
        writer.write(add_query("after"))
        # Numbered above every version memcached handed out, though the file's went down.
        assert json.loads(path.read_text())["version"] > 3
    else:
        writer = shared_store(path, memcached.address)
    for _ in range(2):
        for store in (writer, reader):
            store.pull()
            assert ("q2" in store.querydefs, "after" in store.querydefs) == (False, then == "write")


def test_two_stores_under_one_version_number_are_told_apart(pair, memcached):
    path, writer, reader = pair
    backup = path.read_bytes()
    writer.write(add_query("before"))
    reader.pull()
    put_back(path, backup)
    restarted = shared_store(path, memcached.address)
    restarted.write(add_query("after"))
    assert restarted.version == reader.version  # what makes the case: the number alone cannot tell
    reader.pull()
    assert ("before" in reader.querydefs, "after" in reader.querydefs) == (False, True)


def test_a_server_started_on_a_folder_started_over_serves_the_folder_not_memcached(tmp_path, memcached):
    settings = {"korvane.memcached": memcached.address}
    data_dir = copy_example(tmp_path / "data")
    first = make_app(data_dir, **settings)
    created = ask(first, "admin", "POST /users/new", {"user_id": "mallory", "databases": ["demo"]})
    check(created, 201, {})
    shutil.rmtree(data_dir)
    again = make_app(copy_example(data_dir), **settings)
    check(ask(again, "public", "/whoami", headers={"X-API-Key": created.json["apikey"]}), 403, {"explanation": UNKNOWN_KEY})
    check(ask(again, "admin", "/users/mallory"), 404, {})
    # The server that kept running follows the folder too.
    check(ask(first, "admin", "/users/mallory"), 404, {})


class WriterDied(BaseException):
    """The writing process killed between putting the new file in place and publishing it."""


def _writer_dies(*published):
    raise WriterDied()


class CutOff:
    """A memcached client whose every call fails with ``error``; ``closed`` counts the calls of ``close``."""

    def __init__(self, error=ConnectionRefusedError):
        self.error, self.closed = error, 0

    def __getattr__(self, name):
        def fail(*args, **kwargs):
            raise self.error(name)
        return fail

    def close(self):
        self.closed += 1


UNHEARD_WRITES = {
    "publish-fails": lambda writer: setattr(writer.cache, "publish", lambda *published: False),
    "publish-never-happens": lambda writer: setattr(writer.cache, "publish", _writer_dies),
    "one-call-failed": lambda writer: writer.cache._failed(TimeoutError("timed out")),
    "cut-off": lambda writer: setattr(writer.cache, "client", CutOff()),
}


@pytest.mark.parametrize("trouble", UNHEARD_WRITES.values(), ids=UNHEARD_WRITES)
def test_a_write_that_memcached_did_not_hear_of_is_served_by_the_others_at_once(pair, memcached, monkeypatch, trouble):
    # The others still read the old stamp from memcached: the write must not leave them on it, and the first of them
    # to see the file publishes it for the rest.
    path, writer, reader = pair
    other = shared_store(path, memcached.address)
    for store in (writer, reader, other):
        store.pull()
    trouble(writer)
    with contextlib.suppress(WriterDied):
        writer.write(lambda data: data["users"].pop("bob"))
    assert "bob" not in json.loads(path.read_text())["users"]
    for _ in range(2):
        reader.pull()
        assert "bob" not in reader.users
    reads = count_file_reads(monkeypatch, other)
    other.pull()
    assert "bob" not in other.users and reads == []


# Newer than the reader's, and of thousands of digits, which no store carries (it once failed every request).
@pytest.mark.parametrize("number", [lambda reader: reader.version + 5, lambda reader: "9" * 5000],
                         ids=["newer", "thousands-of-digits"])
def test_a_published_document_no_process_wrote_is_passed_over_for_the_file(pair, number):
    path, writer, reader = pair
    reader.pull()
    stamp = "{}:{}".format(number(reader), "0" * 64).encode()
    writer.cache.client.set("test.document", stamp + b"\n" + b"[" * 100000 + b"]" * 100000, noreply=False)
    writer.cache.client.set("test.version", stamp, noreply=False)
    edit = json.loads(path.read_text())
    edit["users"].pop("bob")
    path.write_text(json.dumps(edit))
    reader.pull()
    assert "bob" not in reader.users


# None: nothing listens on the port.  Otherwise what the client's parser raises on replies that break the protocol (a
# value line with a negative length, a reply line cut short): they once escaped and failed every request.
@pytest.mark.parametrize("error", [None, IndexError, ValueError, KeyError], ids=["unreachable", "IndexError",
                                                                                 "ValueError", "KeyError"])
def test_memcached_unreachable_or_out_of_its_protocol_falls_back_to_the_file_with_one_warning(data_dir, memcached, caplog,
                                                                                             monkeypatch, error):
    caplog.set_level(logging.WARNING, logger="korvane.store_cache")
    store = shared_store(data_dir / "store.json", "127.0.0.1:{}".format(free_loopback_port()) if error is None
                         else memcached.address)
    if error:
        store.cache.client = CutOff(error)
    client, other = store.cache.client, ConfigStorage.from_file(str(data_dir / "store.json"))
    for n in range(20 if error is None else 3):
        other.write(add_query("q{}".format(n)))
        store.pull()
        assert "q{}".format(n) in store.querydefs
    assert caplog.text.count(UNREACHABLE) == 1 and (error is None or error.__name__ in caplog.text)
    if error:  # the connection out of step with memcached is dropped, not read on
        assert client.closed == 1 and store.cache.down
        return
    # It is not asked on every request while down: only after a pause that doubles.
    gets = client.calls.count("get")
    assert gets < 5
    monkeypatch.setattr(store_cache.time, "monotonic", lambda: time.time() + 3600)
    store.pull()
    assert client.calls.count("get") == gets + 1


def test_each_request_to_the_server_costs_one_get_and_no_file_read(data_dir, memcached, monkeypatch):
    app = make_app(data_dir, **{"korvane.memcached": memcached.address})
    store = app.app.registry.settings["krv_settings"]["config_storage"]
    store.cache.client = counting = CountingClient(store.cache.client)
    requests = ["/querydefs", "/query/customers_by_country/country/DE", "/users/bob", "/", "/dd/demo/customers"] * 5
    app.get("/")  # the first request finds memcached empty and offers the store
    counting.calls.clear()
    reads = count_file_reads(monkeypatch, store)
    for url in requests:
        check(ask(app, "admin", url), 200, {})
    assert (counting.calls, reads) == (["get"] * len(requests), [])


@pytest.mark.parametrize("setting", [{"korvane.memcached": "localhost"}, {"korvane.memcached": "h:port"},
                                     {"korvane.memcached": "127.0.0.1:99999"}, {"korvane.memcached": "127.0.0.1:0"},
                                     {"korvane.memcached": "127.0.0.1:1", "korvane.memcached_prefix": "two words"}])
def test_a_bad_memcached_setting_stops_the_server_from_starting(data_dir, setting):
    with pytest.raises(SetupError, match="korvane.memcached"):
        make_app(data_dir, **setting)


# --- two server processes ------------------------------------------------------------------------


@pytest.fixture
def two_servers(tmp_path, memcached):
    """Two server processes over one data folder and one memcached."""
    data_dir = copy_example(tmp_path / "data")
    ini = tmp_path / "shared.ini"
    ini.write_text((REPO / "development.ini").read_text().replace(
        "[app:main]\n", "[app:main]\nkorvane.memcached = {}\n".format(memcached.address), 1))
    servers = []
    try:
        for name in ("a", "b"):
            servers.append(Server(tmp_path, name, ini, data_dir))
        yield (*servers, data_dir)
    finally:
        for server in servers:
            stop_process(server.process)
    for server in servers:
        assert "Traceback" not in server.log.read_text(), server.log.read_text()


def create(server, query_id, **extra):
    """The status of creating query ``query_id`` through ``server``."""
    return server.ask("/querydefs/new", method="POST", body=dict(
        query_id=query_id, database="demo", sql="SELECT name FROM customers WHERE city = :city",
        http_methods={"GET": True}, execute=["public", "admin"], **extra))[0]


def test_a_write_through_one_process_is_served_by_the_other_also_once_memcached_stops(two_servers, memcached):
    a, b, _ = two_servers
    assert b.ask("/querydefs")[0] == 200  # b has loaded the store before the write
    assert create(a, "by_city") == 201
    status, _, body = b.ask("/query/by_city/city/Berlin", key=None)
    assert status == 200 and body["rows"], body
    status, _, body = b.ask("/users/new", method="POST", body={"user_id": "erin", "databases": ["demo"]})
    assert status == 201
    answer = a.ask("/whoami", key=body["apikey"])
    assert answer[2].get("user_id") == "erin", answer
    memcached.stop()
    for n in range(5):
        assert create(a, "late{}".format(n)) == 201
        assert b.ask("/querydefs/late{}".format(n))[0] == 200
        assert a.ask("/querydefs/by_city")[0] == 200
    for server in (a, b):
        assert server.log.read_text().count(UNREACHABLE) == 1, server.log.read_text()


def test_concurrent_creations_through_both_processes_lose_none(two_servers):
    a, b, data_dir = two_servers
    count = 64 if LONG_RUN else 16
    with ThreadPoolExecutor(max_workers=count) as pool:
        statuses = list(pool.map(lambda n: create((a, b)[n % 2], "q{}".format(n)), range(count)))
    assert statuses == [201] * count
    expected = {"q{}".format(n) for n in range(count)}
    for server in (a, b):
        assert expected <= {q["query_id"] for q in server.ask("/querydefs")[2]["querydefs"]}
    data = json.loads((data_dir / "store.json").read_text())
    assert expected <= set(data["querydefs"]) and data["version"] == count


def test_a_writer_killed_mid_write_leaves_a_valid_store(two_servers):
    a, b, data_dir = two_servers
    store = data_dir / "store.json"
    # A store of a few megabytes keeps each write long enough to be caught
    # in it (put in by hand: no request body may be that large).
    edit_store(data_dir, lambda data: data["querydefs"].update(bulky={
        "database": "demo", "sql": "SELECT 1", "description": "x" * (4 << 20)}))
    stop, written = threading.Event(), threading.Event()

    def keep_writing():
        n = 0
        while not stop.is_set():
            try:
                create(a, "w{}".format(n))
            except OSError:
                return
            n += 1
            written.set()

    writer = threading.Thread(target=keep_writing)
    writer.start()
    try:
        # Killed once a write has gone through (a slow build may take seconds
        # for the first), in the middle of a later one.
        assert written.wait(timeout=120)
        time.sleep(0.3)
        a.process.send_signal(signal.SIGKILL)
        a.process.wait(timeout=10)
    finally:
        stop.set()
        writer.join(timeout=30)
    data = json.loads(store.read_text())  # whole, old or new
    assert "bulky" in data["querydefs"]
    # The lock died with the process: the other one still writes and serves.
    assert create(b, "after") == 201
    after = json.loads(store.read_text())
    assert after["version"] == data.get("version", 0) + 1 and "after" in after["querydefs"]
    assert not list(data_dir.glob(".store.json-*.tmp"))
    assert b.ask("/querydefs/after")[0] == 200
