"""No input crashes the process: error discipline and the lifetime of the
module's state.

Cases that crashed the interpreter run in a child process, so that a
segfault fails one test instead of ending the run.  Each child clears the
type-method cache first: an API call made with an exception pending loses
that exception only on a cache miss.
"""

import copy
import os
import pickle
import shutil
import subprocess
import sys
import sysconfig
import textwrap

import pytest

import korvane.roots as roots

TESTS_DIR = os.path.dirname(os.path.abspath(__file__))


def run_child(source, timeout=120):
    """Runs `source` in a fresh interpreter that imports the same package
    and the test helpers; returns the finished process."""
    env = dict(os.environ)
    package_dir = os.path.dirname(os.path.dirname(roots.__file__))
    env["PYTHONPATH"] = os.pathsep.join([package_dir, TESTS_DIR, env.get("PYTHONPATH", "")])
    return subprocess.run(
        [sys.executable, "-P", "-c", textwrap.dedent(source)],
        env=env,
        capture_output=True,
        text=True,
        timeout=timeout,
    )


def assert_child_ok(source):
    done = run_child(source)
    assert done.returncode == 0, "exit status {}\n{}{}".format(done.returncode, done.stdout, done.stderr)
    return done.stdout


# ---------------------------------------------------------------- wrong types in the store


@pytest.mark.parametrize("field", ["read", "write", "execute"])
@pytest.mark.parametrize("value", [None, 7])
def test_querydef_with_a_non_list_user_field_raises_type_error(field, value):
    out = assert_child_ok(
        """
        import sys
        import korvane.roots as roots
        from helpers import make_request, make_settings, make_store
        store = make_store(
            users={{"admin": {{"password": "x"}}, "alice": {{"querydef": ["view"]}}}},
            querydefs={{"q1": {{"database": "db1", "read": ["alice"], "write": ["alice"],
                               "execute": ["alice"], {field!r}: {value!r}}}}},
        )
        for _ in range(50):
            sys._clear_type_cache()
            request = make_request("/querydefs/q1.json", settings=make_settings(store=store),
                                   user_id="alice", matchdict={{"query_id": "q1"}})
            try:
                roots.Querydef(request)
            except TypeError as exc:
                outcome = type(exc).__name__
            else:
                outcome = "no error"
        print(outcome)
        """.format(field=field, value=value)
    )
    assert out.split() == ["TypeError"]


class FailingLength(str):
    """A path whose len() fails."""

    def __len__(self):
        raise LookupError("no length")


def redirect_request(path_info):
    class Request:
        query_string = ""

    request = Request()
    request.path_info = path_info
    return request


def test_format_redirect_passes_on_a_failing_length():
    context = roots.RootBasic.__new__(roots.RootBasic)
    sys._clear_type_cache()
    with pytest.raises(LookupError, match="no length"):
        context.redirect_request_format(redirect_request(FailingLength("/models/demo.xsd")), "xsd")
