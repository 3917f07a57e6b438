"""Loading the module: the create and exec steps and their lifecycle, each case in a fresh interpreter."""

import textwrap

from helpers import run_child

# The module loads once per process: each case gets an interpreter of its own, with the extension's
# file location, a loader for it under the bare name "roots" and a spec from that loader.
PRELUDE = """\
import importlib, importlib.machinery, importlib.util, sys
path = importlib.util.find_spec("korvane.roots").origin
loader = importlib.machinery.ExtensionFileLoader("roots", path)
spec = importlib.util.spec_from_file_location("roots", path, loader=loader)
"""


def run_python(code, *flags):
    """Runs `code` after PRELUDE in a new interpreter; its asserts decide, and it must run to its end."""
    out = run_child(PRELUDE + textwrap.dedent(code) + 'print("done")\n', *flags)
    assert out.strip().endswith("done"), out


def test_one_load_per_process_from_the_create_step_to_a_sub_interpreter():
    run_python("""
        import ctypes, traceback, types
        assert sys.version_info[:2] == (3, 12)  # so no version warning, which -W would make an error

        # The create step copies the attributes of the ModuleSpec it is given; until an exec
        # step has run, every create step makes a new module.
        for locations in ("absent", None, ["/somewhere"]):
            given = types.SimpleNamespace(name="roots", origin=path, loader=loader, parent="")
            if locations != "absent":
                given.submodule_search_locations = locations
            module = loader.create_module(given)
            assert module.__name__ == "roots"
            assert module.__file__ == path and module.__loader__ is loader and module.__package__ == ""
            assert vars(module).get("__path__", "absent") == (locations or "absent"), locations

        # Re-import and reload give the same module without running the body again.
        import korvane.roots as first
        import korvane.roots as again
        assert again is first
        classes = {name: getattr(first, name) for name in ("RootContext", "ExecuteQuery", "DBCredentialsRoot")}
        del sys.modules["korvane.roots"]
        second = importlib.import_module("korvane.roots")
        assert second is first and sys.modules["korvane.roots"] is first
        assert importlib.reload(first) is first
        assert all(getattr(second, name) is cls for name, cls in classes.items())

        # The exec step returns at once for the loaded module and refuses a second module object.
        api = ctypes.pythonapi
        api.PyModule_GetDef.argtypes = [ctypes.py_object]
        api.PyModule_GetDef.restype = ctypes.c_void_p
        api.PyModule_ExecDef.argtypes = [ctypes.py_object, ctypes.c_void_p]
        api.PyModule_ExecDef.restype = ctypes.c_int
        definition = api.PyModule_GetDef(first)
        contents = dict(vars(first))
        assert api.PyModule_ExecDef(first, definition) == 0
        assert dict(vars(first)) == contents
        other = types.ModuleType("roots")
        try:
            api.PyModule_ExecDef(other, definition)
        except RuntimeError as exc:
            error = exc
        else:
            raise AssertionError("a second module object was initialised")
        assert str(error) == "Module 'roots' has already been imported. Re-initialisation is not supported."
        assert all(entry.filename != "korvane\\\\roots" for entry in traceback.extract_tb(error.__traceback__))
        assert vars(other).keys() == vars(types.ModuleType("roots")).keys()
        assert first.ExecuteQuery is contents["ExecuteQuery"]

        # A sub-interpreter's import is refused and the main module stays usable.
        import _xxsubinterpreters as interpreters
        iid = interpreters.create(isolated=False)
        try:
            interpreters.run_string(iid, "import korvane.roots")
            raise AssertionError("the sub-interpreter loaded the module")
        except interpreters.RunFailedError as exc:
            message = "Interpreter change detected - this module can only be loaded into one interpreter per process."
            assert "ImportError" in str(exc) and message in str(exc), str(exc)
        interpreters.destroy(iid)
        from helpers import make_request
        context = first.DefaultRoot(make_request("/db/sales", matchdict={"db_id": "sales"}))
        assert context.db_id == "sales"
        """, "-W", "error::RuntimeWarning")


def test_failed_loads_leave_nothing_behind_and_a_retry_under_another_name_registers_the_qualified_one():
    run_python("""
        import builtins, traceback
        import korvane.constants as constants

        created = []

        def create_module(self, spec, create=importlib.machinery.ExtensionFileLoader.create_module):
            module = create(self, spec)
            if spec.origin == path:
                created.append(module)
            return module

        importlib.machinery.ExtensionFileLoader.create_module = create_module

        def failed_import(owner, name, expected, load=lambda: importlib.import_module("korvane.roots")):
            saved = getattr(owner, name)
            delattr(owner, name)
            try:
                load()
            except expected as exc:
                error = exc
            finally:
                setattr(owner, name, saved)
            last = traceback.extract_tb(error.__traceback__)[-1]
            assert (last.name, last.filename) == ("init korvane.roots", "korvane\\\\roots"), last
            assert "korvane.roots" not in sys.modules and "roots" not in sys.modules
            return str(error)

        assert failed_import(builtins, "enumerate", NameError) == "name 'enumerate' is not defined"
        assert failed_import(constants, "STD_HTTP_METHODS", ImportError) == "cannot import name STD_HTTP_METHODS"
        assert spec.submodule_search_locations is None
        load = lambda: importlib._bootstrap._load(spec)
        assert failed_import(constants, "STD_HTTP_METHODS", ImportError, load) == "cannot import name STD_HTTP_METHODS"

        # Loaded under another name, the module registers its qualified name only once loaded.
        module = importlib.util.module_from_spec(spec)
        sys.modules["roots"] = module
        spec.loader.exec_module(module)
        assert module.__name__ == "roots" and module.RootContext.__module__ == "korvane.roots"
        assert sys.modules["korvane.roots"] is module
        # A later import by the qualified name finds this module object.
        assert importlib.import_module("korvane.roots") is module
        assert len(created) == 4 and len(set(map(id, created))) == 4 and module is created[-1]
        assert module.STD_HTTP_METHODS is constants.STD_HTTP_METHODS
        assert module.DDURLParserBuilderRoot.__module__ == "korvane.roots"
        """)


def test_loading_under_another_name_leaves_an_existing_qualified_entry():
    run_python("""
        placeholder = object()
        sys.modules["korvane.roots"] = placeholder
        module = importlib.util.module_from_spec(spec)
        spec.loader.exec_module(module)
        assert sys.modules["korvane.roots"] is placeholder
        assert module.RootContext.request_extension == ""
        """)
