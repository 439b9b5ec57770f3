# The module surface: registration order, names, stored signatures, the constructor-less
# classes, the refusal of a second initialisation, and every entry behind the exception wrapper.
import inspect
import json
import os
import subprocess
import sys

import numpy as np
import pytest

import rivezor
from conftest import SANITIZED


def test_module_doc_and_all():
    assert rivezor.__doc__ == ""
    assert rivezor.__all__[:2] == ["PySearchEngine", "PyQueryResult"]
    for name in rivezor.__all__:
        assert hasattr(rivezor, name)
    assert not hasattr(rivezor, "PyQueryItem")


@pytest.mark.parametrize("cls", ["PySearchEngine", "PyQueryResult"])
def test_classes_live_in_builtins(cls):
    t = getattr(rivezor, cls)
    assert t.__module__ == "builtins"
    assert t.__name__ == cls
    assert t.__qualname__ == cls


def test_engine_signatures():
    E = rivezor.PySearchEngine
    assert E.__text_signature__ == "(bin_path, ann)"
    assert str(inspect.signature(E)) == "(bin_path, ann)"
    assert not E.__doc__
    assert E.dims.__text_signature__ == "($self)"
    assert E.dims.__doc__ is None
    assert E.rows.__text_signature__ == "($self)"
    assert rivezor.PyQueryResult.__text_signature__ is None


@pytest.mark.parametrize("cls", ["PyQueryResult"])
def test_no_constructor(cls):
    with pytest.raises(TypeError, match="^No constructor defined$"):
        getattr(rivezor, cls)()


def test_second_initialisation_fails(child):
    proc = child(
        """
        import sys, rivezor
        first = rivezor
        del sys.modules["rivezor"]
        try:
            import rivezor
        except ImportError as e:
            assert str(e).endswith("may only be initialized once per interpreter process"), e
            assert first.PySearchEngine.__name__ == "PySearchEngine"
            print("refused")
        else:
            print("accepted")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "refused"


def test_import_raises_no_warning(child):
    proc = child("import warnings; warnings.simplefilter('error'); import rivezor; print('ok')")
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.strip() == "ok"


# Arguments that make each entry succeed; the enumeration below fails on any entry missing here.
ENTRY_CALLS = """
import json, os, sys
import numpy as np
import rivezor

path, out_dir = sys.argv[1], sys.argv[2]
q, qs = np.ones(4, np.float32), np.ones((2, 4), np.float32)
engine = rivezor.PySearchEngine(path, False)
full = engine.query_exact_detailed(q, 2)
item = full.results[0]
method_args = {
    "dims": (), "rows": (), "query_exact": (q, 2), "query_exact_arrays": (q, 2),
    "query_exact_detailed": (q, 2), "query_batch": (qs, 2), "query_batch_arrays": (qs, 2),
    "query_batch_detailed": (qs, 2), "query_exact_certified": (q, 2), "query_batch_exact_certified": (qs, 2),
    "compare": (q, 0, 1, 2, 1), "explain": (q, 0, 2, 1),
}
function_args = {"py_prepare_bin_from_embeddings": (qs, 4, 2, "faults", "f32", False, False, 0, "dot", out_dir)}
calls = {"PySearchEngine()": lambda: rivezor.PySearchEngine(path, False), "repr": lambda: repr(full)}
for cls, obj in ((rivezor.PySearchEngine, engine), (rivezor.PyQueryResult, full), (type(item), item)):
    for name, member in vars(cls).items():
        key = f"{cls.__name__}.{name}"
        if type(member).__name__ == "method_descriptor":
            calls[key] = lambda m=getattr(obj, name), a=method_args[name]: m(*a)
        elif type(member).__name__ == "getset_descriptor":
            calls[key] = lambda o=obj, n=name: getattr(o, n)
        elif name == "__new__" and cls is not rivezor.PySearchEngine:
            calls[key] = cls
for name in rivezor.__all__:
    if callable(getattr(rivezor, name)) and not isinstance(getattr(rivezor, name), type):
        calls[name] = lambda f=getattr(rivezor, name), a=function_args[name]: f(*a)

def outcome(call):
    try:
        call()
        return "ok"
    except Exception as e:
        return type(e).__name__

report = {}
for key, call in calls.items():
    os.environ["RIVEZOR_TEST_ENTRY_FAULT"] = "1"
    faulted = outcome(call)
    os.environ["RIVEZOR_TEST_ENTRY_FAULT"] = "0"
    report[key] = [outcome(call), faulted]
print(json.dumps(report))
"""


def test_every_entry_maps_a_cpp_failure_to_memory_error(child, write_index, tmp_path):
    # Each entry fails with std::bad_alloc inside the wrapper while the switch holds "1": an
    # entry that bypassed the wrapper would answer normally, and one whose exception escaped
    # would abort the child.
    path = write_index(np.arange(12, dtype=np.float32).reshape(3, 4) + 1)
    proc = subprocess.run([sys.executable, "-c", ENTRY_CALLS, path, str(tmp_path)], capture_output=True, text=True,
                          env={**os.environ, "RIVEZOR_TEST_ENTRY_FAULT": "0"}, timeout=120)
    assert proc.returncode == 0, proc.stderr
    report = json.loads(proc.stdout)
    assert len(report) == 2 + 12 + 11 + 2 + 2 + 1, sorted(report)
    for key, (normal, faulted) in report.items():
        assert normal == ("TypeError" if key.endswith("__new__") else "ok"), key
        assert faulted == "MemoryError", key


@pytest.mark.skipif(SANITIZED, reason="AddressSanitizer reserves more address space than the limit leaves")
def test_allocation_failure_in_argument_conversion_is_memory_error(child, write_index):
    # An unaligned query is copied before the search; with the address space capped that copy
    # fails, which must surface as MemoryError from every kind of method instead of aborting.
    path = write_index(np.ones((3, 4), dtype=np.float32))
    proc = child(
        f"""
        import resource
        import numpy as np
        import rivezor
        engine = rivezor.PySearchEngine({path!r}, False)
        query = np.zeros(25_000_001 * 4 + 1, np.uint8)[1:].view(np.float32)
        assert not query.flags.aligned
        calls = {{
            "query_exact": lambda: engine.query_exact(query, 1),
            "query_exact_arrays": lambda: engine.query_exact_arrays(query, 1),
            "query_batch": lambda: engine.query_batch(query.reshape(1, -1), 1),
            "query_exact_certified": lambda: engine.query_exact_certified(query, 1),
            "explain": lambda: engine.explain(query, 0, 2, 1),
        }}
        size = next(int(line.split()[1]) for line in open("/proc/self/status") if line.startswith("VmSize:"))
        resource.setrlimit(resource.RLIMIT_AS, ((size + 32 * 1024) * 1024, resource.RLIM_INFINITY))
        for name, call in calls.items():
            try:
                call()
                print(name, "answered")
            except MemoryError:
                print(name, "MemoryError")
        """
    )
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.split() == [word for name in ("query_exact", "query_exact_arrays", "query_batch",
                                                     "query_exact_certified", "explain")
                                   for word in (name, "MemoryError")]
