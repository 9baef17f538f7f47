"""Argument binding and the conversions of Python arguments, through the index methods that use
them. One table of cases per converter."""

import array
import collections

import numpy as np
import pytest

F32 = np.float32


class Index:
    """An object whose __index__ returns a fixed value (or raises)."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, Exception):
            raise self.value
        return self.value


class StrSub(str):
    pass


# ---- integer arguments (through delete(id), which converts nothing else) ----------------------

@pytest.mark.parametrize("value", [0, 2**64 - 1, True, np.int64(7), np.uint64(2**64 - 1), Index(5)],
                         ids=repr)
def test_u64_accepts(make_index, value):
    idx = make_index(1)
    idx.add(value, [1.0])
    assert idx.delete(value) is True


U64_ERRORS = [
    (-1, OverflowError, None),
    (2**64, OverflowError, None),
    (-(2**70), OverflowError, None),
    (Index(-3), OverflowError, None),
    ("x", TypeError, "argument 'id': 'str' object cannot be interpreted as an integer"),
    (1.5, TypeError, "argument 'id': 'float' object cannot be interpreted as an integer"),
    (None, TypeError, "argument 'id': 'NoneType' object cannot be interpreted as an integer"),
    (np.float32(2), TypeError, "argument 'id': 'numpy.float32' object cannot be interpreted as an integer"),
    # Not a TypeError: passes unchanged, unprefixed.
    (Index(ValueError("own failure")), ValueError, "own failure"),
    (Index(TypeError("own type error")), TypeError, "argument 'id': own type error"),
]


@pytest.mark.parametrize("value,exc,message", U64_ERRORS, ids=lambda v: repr(v)[:40])
def test_u64_errors(make_index, value, exc, message):
    idx = make_index(1)
    with pytest.raises(exc) as info:
        idx.delete(value)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    if exc is TypeError:
        # The interpreter's own error is kept as the cause.
        assert type(info.value.__cause__) is TypeError
        assert str(info.value) == "argument 'id': " + str(info.value.__cause__)


def test_type_error_subclass_is_not_prefixed(make_index):
    class MyTypeError(TypeError):
        pass

    with pytest.raises(MyTypeError, match="^mine$"):
        make_index(1).delete(Index(MyTypeError("mine")))


# ---- text arguments (through save(path)) -----------------------------------------------------

TEXT_ERRORS = [
    (5, TypeError, "argument 'path': 'int' object cannot be converted to 'PyString'"),
    (None, TypeError, "argument 'path': 'NoneType' object cannot be converted to 'PyString'"),
    (b"/tmp/x", TypeError, "argument 'path': 'bytes' object cannot be converted to 'PyString'"),
    ("bad\ud800", UnicodeEncodeError, None),
]


@pytest.mark.parametrize("value,exc,message", TEXT_ERRORS, ids=repr)
def test_text_errors(make_exact_index, value, exc, message):
    idx = make_exact_index(2)
    with pytest.raises(exc) as info:
        idx.save(value)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message


def test_text_subclass_is_accepted(make_exact_index, tmp_path):
    idx = make_exact_index(2)
    idx.save(StrSub(tmp_path / "i.bin"))
    assert len(type(idx).load(StrSub(tmp_path / "i.bin"))) == 0


# ---- parse_metric (through the constructor) ---------------------------------------------------

EXPECTED = '; expected "l2", "cosine", or "dot_product"'
METRICS = [
    ("l2", "l2"),
    ("cosine", "cosine"),
    ("dot_product", "dot_product"),
    ("L2", 'unknown metric "L2"' + EXPECTED),
    (" l2", 'unknown metric " l2"' + EXPECTED),
    ("l2\n", 'unknown metric "l2\\n"' + EXPECTED),
    ('co"s\\', 'unknown metric "co\\"s\\\\"' + EXPECTED),
    ("tab\t\r\0", 'unknown metric "tab\\t\\r\\0"' + EXPECTED),
    ("\x01", 'unknown metric "\\u{1}"' + EXPECTED),
    ("", 'unknown metric ""' + EXPECTED),
    ("dot-product", 'unknown metric "dot-product"' + EXPECTED),
    ("kosinus\u00e9", 'unknown metric "kosinus\u00e9"' + EXPECTED),
    ("zero\u200bwidth", 'unknown metric "zero\\u{200b}width"' + EXPECTED),
    ("c1\x85", 'unknown metric "c1\\u{85}"' + EXPECTED),
    ("mark\u0301", 'unknown metric "mark\\u{301}"' + EXPECTED),
    ("\U0001f600", 'unknown metric "\U0001f600"' + EXPECTED),
]


@pytest.mark.parametrize("text,outcome", METRICS, ids=repr)
def test_parse_metric(make_index, text, outcome):
    if outcome == text:
        assert make_index(2, text).metric == text
    else:
        with pytest.raises(ValueError) as info:
            make_index(2, text)
        assert str(info.value) == outcome


def test_metric_must_be_text(make_index):
    with pytest.raises(TypeError, match="^argument 'metric': 'int' object cannot be converted to 'PyString'$"):
        make_index.cls(2, 1)


# ---- extract_vector (through add, checked by an exact search) --------------------------------

BASE = np.arange(12, dtype=F32) * F32(0.5) - F32(2.0)

VECTOR_OK = [
    ("float32 array", lambda: BASE[:4].copy(), BASE[:4]),
    ("strided float32", lambda: BASE[::3], BASE[::3]),
    ("negative stride", lambda: BASE[3::-1], BASE[3::-1]),
    ("float64 array", lambda: BASE[:4].astype(np.float64), BASE[:4]),
    ("big-endian float32", lambda: BASE[:4].astype(">f4"), BASE[:4]),
    ("little-endian float32", lambda: BASE[:4].astype("<f4"), BASE[:4]),
    ("list of floats", lambda: [float(x) for x in BASE[:4]], BASE[:4]),
    ("tuple of ints", lambda: (1, 2, 3, 4), np.array([1, 2, 3, 4], F32)),
    ("array.array f", lambda: array.array("f", BASE[:4].tolist()), BASE[:4]),
    ("array.array d", lambda: array.array("d", BASE[:4].tolist()), BASE[:4]),
    ("memoryview f", lambda: memoryview(BASE[:4].copy()), BASE[:4]),
    ("int32 array", lambda: np.array([1, 2, 3, 4], np.int32), np.array([1, 2, 3, 4], F32)),
    ("float narrowed to nearest", lambda: [0.1, 1 / 3, 1e-50, -0.0], np.array([0.1, 1 / 3, 0, 0], F32)),
]


@pytest.mark.parametrize("make_value,expected", [c[1:] for c in VECTOR_OK], ids=[c[0] for c in VECTOR_OK])
def test_extract_vector_values(make_exact_index, make_value, expected):
    idx = make_exact_index(len(expected))
    idx.add(1, make_value())
    idx.add(2, expected + F32(1))
    hits = idx.search(np.ascontiguousarray(expected), 1)
    assert hits == [{"id": 1, "distance": 0.0}]


@pytest.mark.parametrize("value,expected", [
    ([1e300], np.inf), ([-1e300], -np.inf), ([3.4028235677973366e38], np.inf),
    ([3.4028235e38], float(np.finfo(F32).max)), ([float("inf")], np.inf),
], ids=repr)
def test_extract_vector_overflow_becomes_infinite(make_exact_index, value, expected):
    # Dot-product distance is -dot, so a query [1] returns the stored value negated.
    idx = make_exact_index(1, "dot_product")
    idx.add(1, value)
    assert idx.search([1.0], 1)[0]["distance"] == -expected


def seq_without_len():
    class Seq:
        def __len__(self):
            raise RuntimeError("no length")

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError
            return float(i)

    return Seq()


def test_extract_vector_sequence_size_error_is_discarded(make_exact_index):
    idx = make_exact_index(2)
    idx.add(1, seq_without_len())
    assert idx.search([0.0, 1.0], 1)[0]["distance"] == 0.0


VECTOR_ERRORS = [
    ("2-D float32", lambda: np.zeros((2, 2), F32), ValueError, "vector must be 1-dimensional"),
    # A 0-D array exports no shape, so it takes the sequence path, which cannot iterate it.
    ("0-D float32", lambda: np.zeros((), F32), TypeError, "iteration over a 0-d array"),
    ("str", lambda: "abc", TypeError, "Can't extract `str` to `Vec`"),
    ("empty str", lambda: "", TypeError, "Can't extract `str` to `Vec`"),
    ("int", lambda: 5, TypeError, "'int' object cannot be converted to 'Sequence'"),
    ("None", lambda: None, TypeError, "'NoneType' object cannot be converted to 'Sequence'"),
    ("dict", lambda: {0: 1.0}, TypeError, "'dict' object cannot be converted to 'Sequence'"),
    ("generator", lambda: (x for x in [1.0]), TypeError, "'generator' object cannot be converted to 'Sequence'"),
    ("item not a number", lambda: [1.0, "a"], TypeError, "must be real number, not str"),
    # The items of a 2-D float64 array are rows, which float() refuses with numpy's own message.
    ("2-D float64", lambda: np.zeros((2, 2)), TypeError, None),
]


@pytest.mark.parametrize("make_value,exc,message", [c[1:] for c in VECTOR_ERRORS],
                         ids=[c[0] for c in VECTOR_ERRORS])
def test_extract_vector_errors(make_index, make_value, exc, message):
    idx = make_index(2)
    with pytest.raises(exc) as info:
        idx.add(1, make_value())
    assert type(info.value) is exc
    if message is None:
        with pytest.raises(exc) as own:
            float(make_value()[0])
        message = str(own.value)
    assert str(info.value) == message
    assert len(idx) == 0


# ---- extract_matrix (through add_batch_np, checked by exact searches) -------------------------

M = np.arange(24, dtype=F32).reshape(6, 4) * F32(0.25)

MATRIX_OK = [
    ("C-contiguous", lambda: M.copy(), M),
    ("Fortran order", lambda: np.asfortranarray(M), M),
    ("transposed view", lambda: M.T.copy().T, M),
    ("every second row", lambda: M[::2], M[::2]),
    ("every second column", lambda: np.repeat(M, 2, axis=1)[:, ::2], M),
    ("memoryview", lambda: memoryview(M.copy()), M),
    ("no rows", lambda: np.zeros((0, 4), F32), np.zeros((0, 4), F32)),
]


@pytest.mark.parametrize("make_value,expected", [c[1:] for c in MATRIX_OK], ids=[c[0] for c in MATRIX_OK])
def test_extract_matrix_values(make_exact_index, make_value, expected):
    idx = make_exact_index(4)
    idx.add_batch_np(make_value(), start_id=100)
    assert len(idx) == len(expected)
    for r, row in enumerate(expected):
        assert idx.search(row, 1) == [{"id": 100 + r, "distance": 0.0}]


BUFFER_MESSAGE = "vectors must support the buffer protocol (e.g. numpy array)"
MATRIX_ERRORS = [
    ("list of lists", lambda: [[1.0, 2.0]], BUFFER_MESSAGE),
    ("float64 matrix", lambda: np.zeros((2, 2)), BUFFER_MESSAGE),
    ("big-endian float32", lambda: np.zeros((2, 2), ">f4"), BUFFER_MESSAGE),
    ("int32 matrix", lambda: np.zeros((2, 2), np.int32), BUFFER_MESSAGE),
    ("bytes", lambda: b"\0" * 16, BUFFER_MESSAGE),
    ("3-D", lambda: np.zeros((2, 2, 2), F32), "vectors must be 2-dimensional, got 3-dimensional"),
    ("1-D", lambda: np.zeros(4, F32), "vectors must be 2-dimensional, got 1-dimensional"),
    ("0-D", lambda: np.zeros((), F32), BUFFER_MESSAGE),  # exports no shape
]


@pytest.mark.parametrize("make_value,message", [c[1:] for c in MATRIX_ERRORS], ids=[c[0] for c in MATRIX_ERRORS])
def test_extract_matrix_errors(make_index, make_value, message):
    idx = make_index(2)
    with pytest.raises(ValueError) as info:
        idx.add_batch_np(make_value())
    assert str(info.value) == message
    assert len(idx) == 0


@pytest.mark.unsanitized("the sanitizer's allocator ends the process instead of failing")
def test_extract_matrix_too_large_to_copy_is_memory_error(make_index):
    # A broadcast view claims 2^40 rows over 16 bytes of memory: the copy cannot be allocated.
    huge = np.broadcast_to(np.zeros(4, F32), (2**40, 4))
    idx = make_index(4)
    with pytest.raises(MemoryError):
        idx.add_batch_np(huge)
    assert len(idx) == 0
    idx.add(1, [0.0] * 4)  # the borrow was released


# ---- extract_entries (through add_batch) ------------------------------------------------------

Point = collections.namedtuple("Point", "id vector")

ENTRIES_OK = [
    ("tuples", [(1, [1.0, 0.0]), (2, np.array([0.0, 1.0], F32))]),
    ("extra elements ignored", [(1, [1.0, 0.0], "x", None), (2, [0.0, 1.0], {})]),
    ("tuple subclass", [Point(1, [1.0, 0.0]), Point(2, [0.0, 1.0])]),
    ("empty", []),
]


@pytest.mark.parametrize("entries", [c[1] for c in ENTRIES_OK], ids=[c[0] for c in ENTRIES_OK])
def test_extract_entries_ok(make_exact_index, entries):
    idx = make_exact_index(2)
    idx.add_batch(entries)
    assert len(idx) == len(entries)
    for entry in entries:
        assert idx.search(entry[1], 1) == [{"id": entry[0], "distance": 0.0}]


ENTRY_MESSAGE = "each entry must be a tuple of (id, vector)"
ENTRIES_ERRORS = [
    ("one element", [(1, [1.0, 0.0]), (5,)], ValueError, ENTRY_MESSAGE),
    ("list entry", [[5, [1.0, 0.0]]], ValueError, ENTRY_MESSAGE),
    ("bare vector", [[1.0, 0.0]], ValueError, ENTRY_MESSAGE),
    ("negative id", [(1, [1.0, 0.0]), (-1, [1.0, 0.0])], OverflowError, None),
    ("text id", [("a", [1.0, 0.0])], TypeError, "'str' object cannot be interpreted as an integer"),
    ("text vector", [(1, "ab")], TypeError, "Can't extract `str` to `Vec`"),
    ("2-D vector", [(1, np.zeros((1, 2), F32))], ValueError, "vector must be 1-dimensional"),
]


@pytest.mark.parametrize("entries,exc,message", [c[1:] for c in ENTRIES_ERRORS],
                         ids=[c[0] for c in ENTRIES_ERRORS])
def test_extract_entries_errors(make_index, entries, exc, message):
    idx = make_index(2)
    with pytest.raises(exc) as info:
        idx.add_batch(entries)
    assert type(info.value) is exc
    if message is not None:
        assert str(info.value) == message
    assert len(idx) == 0  # the entries converted before the failure were dropped


@pytest.mark.parametrize("value,type_name", [((1, [0.0, 0.0]), "tuple"), (None, "NoneType"), ({}, "dict")])
def test_entries_must_be_a_list(make_index, value, type_name):
    with pytest.raises(TypeError) as info:
        make_index(2).add_batch(value)
    assert str(info.value) == f"argument 'entries': '{type_name}' object cannot be converted to 'PyList'"


def test_extract_entries_stops_when_the_list_shrinks(make_exact_index):
    entries = []

    class Shrinking:
        def __index__(self):
            del entries[1:]
            return 1

    entries.extend([(Shrinking(), [1.0, 0.0]), (2, [0.0, 1.0]), (3, [1.0, 1.0])])
    idx = make_exact_index(2)
    idx.add_batch(entries)
    assert len(idx) == 1


def test_extract_entries_does_not_follow_growth(make_exact_index):
    entries = []

    class Growing:
        def __index__(self):
            entries.append((9, [5.0, 5.0]))
            return 1

    entries.append((Growing(), [1.0, 0.0]))
    idx = make_exact_index(2)
    idx.add_batch(entries)
    assert len(idx) == 1 and len(entries) == 2


# ---- argument binding -------------------------------------------------------------------------

Q = [0.0, 0.0]


def binding_cases(cls_name):
    return [
        ("search()", lambda i: i.search(), f"{cls_name}.search() missing 2 required positional arguments: 'query' and 'k'"),
        ("search(q)", lambda i: i.search(Q), f"{cls_name}.search() missing 1 required positional argument: 'k'"),
        ("search(k=1)", lambda i: i.search(k=1), f"{cls_name}.search() missing 1 required positional argument: 'query'"),
        ("search(q, 1, 2)", lambda i: i.search(Q, 1, 2), f"{cls_name}.search() takes 2 positional arguments but 3 were given"),
        ("delete(1, 2)", lambda i: i.delete(1, 2), f"{cls_name}.delete() takes 1 positional arguments but 2 were given"),
        ("add_batch_np(m, 0, 1)", lambda i: i.add_batch_np(None, 0, 1), f"{cls_name}.add_batch_np() takes from 1 to 2 positional arguments but 3 were given"),
        ("add_batch_np()", lambda i: i.add_batch_np(), f"{cls_name}.add_batch_np() missing 1 required positional argument: 'vectors'"),
        ("search(q, 1, x=1)", lambda i: i.search(Q, 1, x=1), f"{cls_name}.search() got an unexpected keyword argument 'x'"),
        ("search(q, query=q)", lambda i: i.search(Q, query=Q), f"{cls_name}.search() got multiple values for argument 'query'"),
        ("too many before unknown", lambda i: i.search(Q, 1, 2, x=1), f"{cls_name}.search() takes 2 positional arguments but 3 were given"),
        ("unknown before missing", lambda i: i.search(x=1), f"{cls_name}.search() got an unexpected keyword argument 'x'"),
        ("ctor()", lambda i: type(i)(), f"{cls_name}.__new__() missing 1 required positional argument: 'dimensions'"),
        ("ctor(extra kw)", lambda i: type(i)(2, colour=1), f"{cls_name}.__new__() got an unexpected keyword argument 'colour'"),
        ("ctor(dims twice)", lambda i: type(i)(2, dimensions=2), f"{cls_name}.__new__() got multiple values for argument 'dimensions'"),
        ("load()", lambda i: type(i).load(), f"{cls_name}.load() missing 1 required positional argument: 'path'"),
    ]


@pytest.mark.parametrize("case", range(len(binding_cases(""))), ids=[c[0] for c in binding_cases("")])
def test_binding_errors(make_exact_index, case):
    idx = make_exact_index(2)
    _, call, message = binding_cases(type(idx).__name__)[case]
    with pytest.raises(TypeError) as info:
        call(idx)
    assert str(info.value) == message


def test_binding_by_keyword_and_defaults(make_exact_index):
    cls = make_exact_index.cls
    idx = cls(metric="cosine", dimensions=2)
    assert (idx.dimensions, idx.metric) == (2, "cosine")
    assert cls(2).metric == "l2"
    idx.add(vector=[1.0, 0.0], id=3)
    idx.add_batch_np(start_id=10, vectors=np.eye(2, dtype=F32))
    idx.add_batch(entries=[(20, [0.5, 0.5])])
    assert [h["id"] for h in idx.search(k=2, query=[1.0, 0.0])] in ([3, 10], [10, 3])
    assert idx.delete(id=20) is True


@pytest.mark.parametrize("call,exc", [
    # k is converted before query, so a bad k wins over a bad query.
    (lambda i: i.search("not a vector", -1), OverflowError),
    (lambda i: i.search(5, "k"), TypeError),
    # id before vector in add, start_id before vectors in add_batch_np.
    (lambda i: i.add(-1, "not a vector"), OverflowError),
    (lambda i: i.add_batch_np([[1.0]], start_id=-1), OverflowError),
], ids=["search", "search-type", "add", "add_batch_np"])
def test_integers_are_converted_before_vectors(make_index, call, exc):
    with pytest.raises(exc) as info:
        call(make_index(2))
    assert type(info.value) is exc
    if exc is TypeError:
        assert str(info.value).startswith("argument 'k': ")


# Every integer and text argument of a constructor is converted, in signature order, before the
# metric's text is parsed: an unknown metric is reported only when nothing after it is wrong.
CONSTRUCTOR_ORDER = [
    ("HnswIndex", (2, "zz", "a"), {}, "ef_construction"),
    ("HnswIndex", (2, "zz"), {"m": None}, "m"),
    ("IvfIndex", (2, "zz"), {"train_size": 1.5}, "train_size"),
    ("IvfPqIndex", (2, "zz"), {"pq_k_sub": "a"}, "pq_k_sub"),
    ("MmapFlatIndex", (2, "zz", 5), {}, "path"),
]


@pytest.mark.parametrize("name,args,kwargs,argument", CONSTRUCTOR_ORDER,
                         ids=[f"{c[0]}-{c[3]}" for c in CONSTRUCTOR_ORDER])
def test_constructor_converts_everything_before_the_metric(svdb, tmp_path, name, args, kwargs,
                                                           argument):
    cls = getattr(svdb, name)
    with pytest.raises(TypeError) as info:
        cls(*args, **kwargs)
    assert str(info.value).startswith(f"argument '{argument}': ")
    # With the later argument mended, the metric's own error comes through.
    mended = dict(kwargs)
    mended.pop(argument, None)
    positional = args[:2] if len(args) > 2 else args
    if name == "MmapFlatIndex":
        mended["path"] = str(tmp_path / "v.kvec")
    with pytest.raises(ValueError, match='^unknown metric "zz"'):
        cls(*positional, **mended)
