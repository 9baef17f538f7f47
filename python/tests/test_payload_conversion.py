"""Payloads, filters and sparse vectors between Python and the store: every value is sent in through
a collection method and read back from its search results, right away and after the log has been
replayed by a new Client."""

import math

import numpy as np
import pytest


def strict(value):
    """A comparable form that tells 1, 1.0 and True apart and keeps dict key order."""
    if isinstance(value, dict):
        return ("dict", [(k, strict(v)) for k, v in value.items()])
    if isinstance(value, list):
        return ("list", [strict(v) for v in value])
    return (type(value).__name__, value)


@pytest.fixture
def store(svdb, tmp_path):
    """A flat 2-D collection and a way to reopen it (a new Client over the same directory)."""

    class Store:
        def __init__(self):
            self.client = svdb.Client(str(tmp_path / "data"))
            self.col = self.client.create_collection("c", 2, "l2", "flat")

        def reopen(self):
            self.client = self.col = None
            self.client = svdb.Client(str(tmp_path / "data"))
            self.col = self.client.get_collection("c")

        def stored_payload(self, id_=1):
            hits = {h["id"]: h for h in self.col.search([0.0, 0.0], 100)}
            return hits[id_].get("payload", "<none>")

    return Store()


class NumpyBool:
    """Looks like numpy's bool scalar type to the payload conversion."""
    __module__ = "numpy"

    def __init__(self, answer):
        self.answer = answer

    def __bool__(self):
        if isinstance(self.answer, Exception):
            raise self.answer
        return self.answer

    def __str__(self):
        return "not a bool"


NumpyBool.__name__ = "bool_"


class WithIndex:
    def __index__(self):
        return 42


class WithFloat:
    def __float__(self):
        return 0.25


PAYLOADS = [
    ("none inside a list", [None], [None]),
    ("true is a bool, not 1", True, True),
    ("numpy true", np.True_, True),
    ("numpy false", np.False_, False),
    ("numpy-like bool answering a bool", NumpyBool(True), True),
    ("numpy-like bool whose __bool__ raises falls through to str", NumpyBool(RuntimeError("x")),
     "not a bool"),
    ("numpy-like bool answering a non-bool falls through", NumpyBool(1), "not a bool"),
    ("int", 7, 7),
    ("numpy int64", np.int64(7), 7),
    ("negative int", -5, -5),
    ("i64 extremes", [-2**63, 2**63 - 1], [-2**63, 2**63 - 1]),
    ("__index__ object", WithIndex(), 42),
    ("float keeps its form", 2.0, 2.0),
    ("numpy float32", np.float32(2.5), 2.5),
    ("__float__ object", WithFloat(), 0.25),
    ("nan is null", math.nan, None),
    ("infinity is null", [math.inf, -math.inf], [None, None]),
    ("2**63 becomes a float", 2**63, 9223372036854775808.0),
    ("numpy uint64 max becomes a float", np.uint64(2**64 - 1), 1.8446744073709552e19),
    ("int beyond double range becomes its digits", 10**400, "1" + "0" * 400),
    ("str", "héllo \"q\"\n\x00", "héllo \"q\"\n\x00"),
    ("str subclass", type("S", (str,), {})("sub"), "sub"),
    ("tuple becomes its str", (1, 2), "(1, 2)"),
    ("set of one becomes its str", {3}, "{3}"),
    ("numpy array becomes its printed form", np.array([1, 2]), "[1 2]"),
    ("dict keys come back sorted", {"b": 1, "a": 2}, {"a": 2, "b": 1}),
    ("dict subclass", type("D", (dict,), {})(z=1), {"z": 1}),
    ("list subclass", type("L", (list,), {})([1, "x"]), [1, "x"]),
    ("nested", {"k": [1, 1.0, True, None, {"": []}]}, {"k": [1, 1.0, True, None, {"": []}]}),
]


@pytest.mark.parametrize("value, expected", [p[1:] for p in PAYLOADS], ids=[p[0] for p in PAYLOADS])
def test_payload_round_trip(store, value, expected):
    store.col.upsert(1, [0.0, 0.0], value)
    assert strict(store.stored_payload()) == strict(expected)
    store.reopen()
    assert strict(store.stored_payload()) == strict(expected)


def nested_lists(depth):
    value = []
    for _ in range(depth - 1):
        value = [value]
    return value


def self_containing_dict():
    d = {}
    d["me"] = d
    return d


def self_containing_list():
    lst = [1]
    lst.append(lst)
    return lst


class BadStr:
    def __str__(self):
        raise ZeroDivisionError("no text")


DEEP = "invalid configuration: payload nests arrays and objects deeper than 128 levels"

PAYLOAD_ERRORS = [
    ("int key", {1: "x"}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ("nested bad key", {"a": {None: 1}}, TypeError,
     "'NoneType' object cannot be converted to 'PyString'"),
    ("str() raises", [BadStr()], ZeroDivisionError, "no text"),
    ("lone surrogate", "\udc80", UnicodeEncodeError, None),
    ("129 levels", nested_lists(129), ValueError, DEEP),
    ("self-containing dict", self_containing_dict(), ValueError, DEEP),
    ("self-containing list", self_containing_list(), ValueError, DEEP),
]


@pytest.mark.parametrize("value, exc, message", [p[1:] for p in PAYLOAD_ERRORS],
                         ids=[p[0] for p in PAYLOAD_ERRORS])
def test_payload_errors_store_nothing(store, value, exc, message):
    with pytest.raises(exc) as info:
        store.col.upsert(1, [0.0, 0.0], value)
    if message is not None:
        assert str(info.value) == message
    assert store.col.count == 0
    with pytest.raises(exc):
        store.col.upsert_batch([(1, [0.0, 0.0], value)])
    assert store.col.count == 0


def test_deepest_accepted_payload_survives_replay(store):
    value = nested_lists(128)
    store.col.upsert(1, [0.0, 0.0], value)
    store.reopen()
    assert store.stored_payload() == value


def test_list_that_shrinks_while_converted_ends_early(store):
    items = [1, None, 3, 4]

    class Shrinker:
        def __index__(self):
            del items[2:]
            return 0

    items[1] = Shrinker()
    store.col.upsert(1, [0.0, 0.0], items)
    assert store.stored_payload() == [1, 0]


class Mutator:
    """A value whose conversion runs `action` (through __str__) on the dict being converted."""

    def __init__(self, action):
        self.action = action

    def __str__(self):
        self.action()
        return "m"


def panic_text(excinfo):
    assert type(excinfo.value).__name__ == "PanicException"
    assert not isinstance(excinfo.value, Exception)
    return str(excinfo.value)


@pytest.mark.parametrize("mutate, message", [
    (lambda d: d.__setitem__("new", 1), "dictionary changed size during iteration"),
    (lambda d: (d.pop("a"), d.__setitem__("c", 1)), "dictionary keys changed during iteration"),
], ids=["size", "keys"])
def test_dict_changed_while_converted_is_a_panic(store, mutate, message):
    d = {}
    d["a"] = Mutator(lambda: mutate(d))
    d["b"] = 1
    with pytest.raises(BaseException) as info:
        store.col.upsert(1, [0.0, 0.0], d)
    assert panic_text(info) == message
    # Raised before any lock was taken: the collection is unchanged and still usable.
    assert store.col.count == 0
    store.col.upsert(1, [0.0, 0.0], {"ok": True})
    assert store.stored_payload() == {"ok": True}


# ---- filters -------------------------------------------------------------------------------------

FILTER_PAYLOADS = {
    1: {"price": 1, "tag": "a", "flag": True, "meta": {"color": "red"}},
    2: {"price": 1.0, "tag": "b", "flag": 1},
    3: {"price": 2**53 + 1, "tag": "Bob", "x": None},
    4: None,  # no payload
}


@pytest.fixture
def filtered(store):
    for id_, payload in FILTER_PAYLOADS.items():
        store.col.upsert(id_, [float(id_), 0.0], payload)
    return store


FILTERS = [
    ("int does not equal float", {"price": {"$eq": 1}}, {1}),
    ("float does not equal int", {"price": {"$eq": 1.0}}, {2}),
    ("2**53 + 1 compares as 2**53", {"$and": [{"price": {"$gte": 2**53}},
                                              {"price": {"$lte": 2**53}}]}, {3}),
    ("but differs under $eq", {"price": {"$eq": 2**53}}, set()),
    ("$gte across forms", {"price": {"$lte": 1}}, {1, 2}),
    ("bool is not 1", {"flag": {"$eq": True}}, {1}),
    ("1 is not a bool", {"flag": {"$eq": 1}}, {2}),
    ("numpy bool operand", {"flag": {"$eq": np.True_}}, {1}),
    ("numpy int operand", {"price": {"$eq": np.int64(1)}}, {1}),
    ("$in", {"tag": {"$in": ["a", "Bob", 7]}}, {1, 3}),
    ("$in empty", {"tag": {"$in": []}}, set()),
    ("$ne skips missing fields", {"tag": {"$ne": "a"}}, {2, 3}),
    ("nested path", {"meta.color": {"$eq": "red"}}, {1}),
    ("string order", {"tag": {"$gt": "B"}}, {1, 2, 3}),
    ("null operand", {"x": {"$eq": None}}, {3}),
    ("$and empty passes all, payload or not", {"$and": []}, {1, 2, 3, 4}),
    ("$or empty passes none", {"$or": []}, set()),
    ("$and with other keys ignores them", {"$and": [{"tag": {"$eq": "b"}}], "zzz": 1}, {2}),
    ("$or of two", {"$or": [{"tag": {"$eq": "a"}}, {"tag": {"$eq": "b"}}]}, {1, 2}),
]


@pytest.mark.parametrize("flt, expected", [f[1:] for f in FILTERS], ids=[f[0] for f in FILTERS])
def test_filters(filtered, flt, expected):
    hits = filtered.col.search([0.0, 0.0], 10, filter=flt)
    assert {h["id"] for h in hits} == expected
    assert [h["id"] for h in hits] == sorted(h["id"] for h in hits)  # still distance order


def deep_filter(levels):
    flt = {"f": {"$eq": 1}}
    for _ in range(levels):
        flt = {"$and": [flt]}
    return flt


FILTER_ERRORS = [
    ("integer predicate", {"age": 5}, ValueError,
     "invalid filter: invalid type: integer `5`, expected string or map"),
    ("empty dict", {}, ValueError,
     "invalid filter: FilterCondition must be $and, $or, or a single field predicate"),
    ("list", [1], ValueError, "invalid filter: invalid type: sequence, expected a map"),
    ("str", "x", ValueError, 'invalid filter: invalid type: string "x", expected a map'),
    ("str with control characters", "\x85\n\x9f\xa0", ValueError,
     'invalid filter: invalid type: string "\\u{85}\\n\\u{9f}\xa0", expected a map'),
    ("operator as string", {"a": "$eq"}, ValueError,
     "invalid filter: invalid type: unit variant, expected newtype variant"),
    ("two operators", {"a": {"$gte": 1, "$lte": 2}}, ValueError,
     "invalid filter: invalid value: map, expected map with a single key"),
    ("unknown operator", {"a": {"$regex": 1}}, ValueError,
     "invalid filter: unknown variant `$regex`, expected one of `$eq`, `$ne`, `$in`, `$gt`, "
     "`$gte`, `$lt`, `$lte`"),
    ("$in not a list", {"a": {"$in": 3}}, ValueError,
     "invalid filter: invalid type: integer `3`, expected a sequence"),
    ("non-str key", {1: {"$eq": 1}}, TypeError, "'int' object cannot be converted to 'PyString'"),
    ("too deep", deep_filter(70), ValueError,
     "invalid configuration: filter nests arrays and objects deeper than 128 levels"),
    ("self-containing", self_containing_dict(), ValueError,
     "invalid configuration: filter nests arrays and objects deeper than 128 levels"),
]


@pytest.mark.parametrize("flt, exc, message", [f[1:] for f in FILTER_ERRORS],
                         ids=[f[0] for f in FILTER_ERRORS])
def test_filter_errors(filtered, flt, exc, message):
    with pytest.raises(exc) as info:
        filtered.col.search([0.0, 0.0], 3, flt)
    assert str(info.value) == message
    with pytest.raises(exc) as info:
        filtered.col.search_hybrid([0.0, 0.0], {}, 3, filter=flt)
    assert str(info.value) == message


def test_filter_of_none_is_no_filter(filtered):
    assert filtered.col.search([0.0, 0.0], 10, None) == filtered.col.search([0.0, 0.0], 10)


# ---- sparse vectors ------------------------------------------------------------------------------

def sparse_score(col, query):
    hits = col.search_hybrid([0.0, 0.0], query, 1)
    return hits[0]["sparse_score"]


SPARSE = [
    ("unordered keys", {3: 0.5, 1: 2}, {1: 1.0}, 2.0),
    ("second term", {3: 0.5, 1: 2}, {3: 1.0}, 0.5),
    ("later duplicate wins", {1: 1.0, True: 3.0}, {1: 1.0}, 3.0),
    ("largest index", {2**32 - 1: 1.5}, {2**32 - 1: 2.0}, 3.0),
    ("numpy keys and weights", {np.int64(5): np.float64(0.25)}, {5: 1}, 0.25),
    ("weight narrowed to f32", {1: 0.1}, {1: 1.0}, float(np.float32(0.1))),
    ("infinite weight passes", {1: math.inf}, {1: 1.0}, math.inf),
]


@pytest.mark.parametrize("stored, query, expected", [s[1:] for s in SPARSE],
                         ids=[s[0] for s in SPARSE])
def test_sparse_vectors(store, stored, query, expected):
    store.col.upsert_hybrid(1, [0.0, 0.0], stored)
    assert sparse_score(store.col, query) == expected
    store.reopen()
    assert sparse_score(store.col, query) == expected


def test_nan_weight_passes_through(store):
    store.col.upsert_hybrid(1, [0.0, 0.0], {1: math.nan})
    assert math.isnan(sparse_score(store.col, {1: 1.0}))


def test_empty_sparse_dicts(store):
    store.col.upsert_hybrid(1, [0.0, 0.0], {})
    hits = store.col.search_hybrid([0.0, 0.0], {}, 1)
    assert hits[0]["sparse_score"] == 0.0


RANGE = "out of range integral type conversion attempted"
SPARSE_ERRORS = [
    ("negative index", {-1: 1.0}, OverflowError, RANGE),
    ("index 2**32", {2**32: 1.0}, OverflowError, RANGE),
    ("index beyond i64", {2**63: 1.0}, OverflowError, None),
    ("float index", {1.0: 1.0}, TypeError, "'float' object cannot be interpreted as an integer"),
    ("str index", {"1": 1.0}, TypeError, "'str' object cannot be interpreted as an integer"),
    ("str weight", {1: "x"}, TypeError, "must be real number, not str"),
]


@pytest.mark.parametrize("sparse, exc, message", [s[1:] for s in SPARSE_ERRORS],
                         ids=[s[0] for s in SPARSE_ERRORS])
def test_sparse_errors(store, sparse, exc, message):
    with pytest.raises(exc) as info:
        store.col.upsert_hybrid(1, [0.0, 0.0], sparse)
    if message is not None:
        assert str(info.value) == message
    assert store.col.count == 0
    with pytest.raises(exc):
        store.col.search_hybrid([0.0, 0.0], sparse, 1)


def test_sparse_dict_changed_while_converted_is_a_panic(store):
    d = {}

    class Key:
        def __hash__(self):
            return 1

        def __index__(self):
            d[99] = 1.0
            return 1

    d[Key()] = 1.0
    d[2] = 1.0
    with pytest.raises(BaseException) as info:
        store.col.upsert_hybrid(1, [0.0, 0.0], d)
    assert panic_text(info) == "dictionary changed size during iteration"
    assert store.col.count == 0
