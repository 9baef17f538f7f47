"""The module object: registration order, re-import, documentation and text signatures,
PanicException's place, the sub-interpreter refusal."""

import importlib
import inspect
import subprocess
import sys
import textwrap

import pytest

from conftest import BUILD_DIR, SANITIZER_ENV

# The fixed registration order; the module lists the classes built so far, in this order.
ORDER = ["FlatIndex", "HnswIndex", "QuantizedFlatIndex", "Fp16FlatIndex", "IvfIndex", "IvfPqIndex",
         "MmapFlatIndex", "BinaryFlatIndex", "Client", "Collection"]


def test_all_lists_the_classes_in_registration_order(svdb):
    assert svdb.__all__, "no class registered"
    assert svdb.__all__ == [name for name in ORDER if name in svdb.__all__]
    public = sorted(n for n in vars(svdb) if not n.startswith("__"))
    assert public == sorted(svdb.__all__)
    for name in svdb.__all__:
        cls = getattr(svdb, name)
        assert (cls.__name__, cls.__qualname__, cls.__module__) == (name, name, "sorvel_vector_db")


def test_module_docstring_is_empty(svdb):
    assert svdb.__doc__ == ""


def test_reimport_gives_the_same_module(svdb):
    assert importlib.import_module("sorvel_vector_db") is svdb
    del sys.modules["sorvel_vector_db"]
    try:
        again = importlib.import_module("sorvel_vector_db")
        assert again is svdb
    finally:
        sys.modules["sorvel_vector_db"] = svdb


def test_panic_exception_is_not_a_module_attribute(svdb):
    assert not hasattr(svdb, "PanicException")
    assert "PanicException" not in svdb.__all__


def test_classes_are_immutable_and_not_subclassable(svdb):
    cls = svdb.FlatIndex
    with pytest.raises(TypeError):
        cls.extra = 1
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


FLAT_DOC = (
    "Exact brute-force vector index. 100% recall, O(N*D) per query.\n\n"
    "Best for small datasets (<100K vectors) or when exact results are required.\n\n"
    "Args:\n    dimensions: Number of dimensions per vector.\n"
    "    metric: Distance metric - \"l2\", \"cosine\", or \"dot_product\".\n\n"
    "Example:\n    >>> idx = FlatIndex(dimensions=384, metric=\"cosine\")\n"
    "    >>> idx.add(id=1, vector=[0.1, 0.2, ...])\n"
    "    >>> results = idx.search(query=[0.1, 0.2, ...], k=10)")

SIGNATURES = [
    ("FlatIndex", None, '(dimensions, metric="l2")', FLAT_DOC),
    ("FlatIndex", "add", "($self, id, vector)", "Add a single vector with the given ID."),
    ("FlatIndex", "add_batch", "($self, entries)",
     "Add multiple vectors at once. Takes a list of (id, vector) tuples."),
    ("FlatIndex", "add_batch_np", "($self, vectors, start_id=0)",
     "Add vectors from a 2D numpy array (N × dim) with sequential IDs starting from `start_id`.\n"
     "This is the fastest way to insert vectors — no per-element Python extraction."),
    ("FlatIndex", "search", "($self, query, k)",
     'Search for the k nearest vectors. Returns list of {"id": int, "distance": float}.'),
    ("FlatIndex", "delete", "($self, id)", "Remove a vector by ID. Returns True if found and removed."),
    ("FlatIndex", "save", "($self, path)", "Save index to a binary file."),
    ("FlatIndex", "load", "(path)", "Load a previously saved index from a binary file."),
]


@pytest.mark.parametrize("cls_name,method,signature,doc", SIGNATURES,
                         ids=[f"{c}.{m}" for c, m, _, _ in SIGNATURES])
def test_text_signatures_and_docs(svdb, cls_name, method, signature, doc):
    cls = getattr(svdb, cls_name)
    obj = cls if method is None else getattr(cls, method)
    assert obj.__text_signature__ == signature
    assert obj.__doc__ == doc
    # inspect understands the signature, with self bound away on an instance.
    expected = signature.replace("$self, ", "").replace('"', "'")
    target = obj if method is None or method == "load" else getattr(cls(2), method)
    assert str(inspect.signature(target)) == expected


def test_getter_docs_and_help(svdb):
    cls = svdb.FlatIndex
    assert cls.dimensions.__doc__ == "Number of dimensions per vector."
    assert cls.metric.__doc__ == 'Distance metric ("l2", "cosine", or "dot_product").'
    import pydoc
    text = pydoc.render_doc(cls, renderer=pydoc.plaintext)
    assert "FlatIndex(dimensions, metric='l2')" in text
    assert "search(self, /, query, k)" in text


def run_python(code):
    env = {"PYTHONPATH": str(BUILD_DIR / "python"), "PATH": "/usr/bin:/bin", **SANITIZER_ENV}
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=120)


def test_sub_interpreter_is_refused():
    out = run_python("""
        import sys, sorvel_vector_db
        import _xxsubinterpreters as interpreters
        sub = interpreters.create()
        try:
            interpreters.run_string(sub, "import sorvel_vector_db")
        except Exception as e:
            print("refused:", e)
        else:
            print("imported")
        print(sorvel_vector_db.FlatIndex(2))
    """)
    assert out.returncode == 0, out.stderr
    assert "refused: <class 'ImportError'>: sorvel_vector_db does not yet support sub-interpreters" \
        in out.stdout
    assert 'FlatIndex(dimensions=2, metric="l2", len=0)' in out.stdout


def test_import_has_no_warnings():
    out = run_python("import warnings; warnings.simplefilter('error'); import sorvel_vector_db")
    assert out.returncode == 0, out.stderr
