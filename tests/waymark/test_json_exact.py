"""Session files hold exactly what json.dumps(payload, indent=2, default=str) returns, side by side with the
interpreter: generated states, subclasses, objects that only claim a type, and every error on the way.

From 3.13 on json.dumps with an indent runs the C encoder: the writer takes plain documents (exact built-in
types) and leaves every other one to json.dumps, which the same cases check."""

import collections
import decimal
import enum
import json
import json.encoder
import random
import struct
import sys
from datetime import date, datetime, time
from pathlib import Path, PurePosixPath

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from waymark_support import MOMENT, SANITIZED, session_text

EXAMPLES = 25 if SANITIZED else 200

characters = st.characters(blacklist_categories=())  # lone surrogates and control characters included
texts = st.text(characters, max_size=12)
keys = st.one_of(texts, st.integers(), st.floats(), st.booleans(), st.none())
scalars = st.one_of(
    st.none(), st.booleans(), texts,
    st.integers(min_value=-(10**40), max_value=10**40),
    st.floats(allow_nan=True, allow_infinity=True),
    st.sampled_from([-0.0, 1e16, 1e15, 5e-324, 1e-5, 1e-4, 1e22, 0.1, 2.5e-7, 1.7976931348623157e308]),
    st.builds(Path, texts.filter(lambda t: "\0" not in t)),
    st.dates(), st.datetimes(), st.times(), st.decimals(allow_nan=False),
    st.frozensets(st.integers(), max_size=3).map(set), st.binary(max_size=4), st.complex_numbers(),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.lists(inner, max_size=4).map(tuple),
                            st.dictionaries(keys, inner, max_size=4)),
    max_leaves=24)
# Exact built-in types only, the documents the writer takes on every version; ints past 64 bits among them.
plain_values = st.recursive(
    st.one_of(st.none(), st.booleans(), texts, st.integers(min_value=-(2**65), max_value=2**65),
              st.floats(allow_nan=True, allow_infinity=True)),
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.lists(inner, max_size=4).map(tuple),
                            st.dictionaries(keys, inner, max_size=4)),
    max_leaves=24)
states = st.one_of(st.dictionaries(keys, values, max_size=5), st.dictionaries(keys, plain_values, max_size=5))
org_ids = st.text(characters, max_size=40).filter(lambda t: "\0" not in t)

PROPERTY = settings(max_examples=EXAMPLES, deadline=None,
                    suppress_health_check=[HealthCheck.function_scoped_fixture, HealthCheck.too_slow])


@PROPERTY
@given(org_id=org_ids, phase=texts, state=states)
def test_save_state_writes_what_json_dumps_gives(store, clock, org_id, phase, state):
    path = store.save_state(org_id, state, phase)
    try:
        assert Path(path).read_bytes() == session_text(org_id, phase, state)
    finally:
        Path(path).unlink()


json_values = st.recursive(
    st.one_of(st.none(), st.booleans(), texts, st.integers(min_value=-(10**30), max_value=10**30),
              st.floats(allow_nan=True, allow_infinity=True)),
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(texts, inner, max_size=4)),
    max_leaves=24)


@PROPERTY
@given(document=st.dictionaries(texts, json_values, max_size=6))
def test_mark_complete_writes_what_json_dumps_gives(store, clock, tmp_path, document):
    store._ensure_dirs()
    path = store.SESSIONS_DIR / "session.json"
    path.write_text(json.dumps(document), encoding="utf-8")
    store.mark_complete(str(path))
    expected = json.loads(json.dumps(document))
    expected["phase"] = "complete"
    expected["completed_at"] = MOMENT.isoformat()
    assert path.read_bytes() == json.dumps(expected, indent=2, default=str).encode()


def test_many_floats_as_repr_gives_them(store, clock):
    rng = random.Random(20250314)
    values = [struct.unpack("<d", rng.getrandbits(64).to_bytes(8, "little"))[0] for _ in range(20_000)]
    values += [rng.uniform(-1e6, 1e6) for _ in range(5_000)] + [round(rng.random() * 100, rng.randint(0, 6))
                                                               for _ in range(5_000)]
    values += [10.0**k for k in range(-323, 308)] + [-(10.0**k) for k in range(-20, 20)]
    values += [5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 9999999999999998.0, 123456789012345680.0]
    state = {"values": values, "as keys": dict.fromkeys(values[:2000], 0)}
    assert Path(store.save_state("acme", state, "p")).read_bytes() == session_text("acme", "p", state)


def test_strings_across_block_boundaries(store, clock):
    pieces = ["a", "é", "—", "😀", '"', "\\", "\n", "\x7f", "\x1f", " ", "~", "\udc80"]
    rng = random.Random(7)
    state = {"texts": ["".join(rng.choice(pieces) for _ in range(length)) for length in range(80) for _ in range(20)],
             "runs": ["x" * n + piece + "y" * m for piece in pieces for n in range(18) for m in (0, 1, 15, 16, 17)]}
    assert Path(store.save_state("acme", state, "p")).read_bytes() == session_text("acme", "p", state)


# ------------------------------------------------------------ side by side with the interpreter


class Colour(enum.IntEnum):
    RED = 1


class Reprless(float):
    def __repr__(self):
        return "never used"


class NeverEqual(float):
    def __eq__(self, other):
        return False

    def __ne__(self, other):
        return True

    __hash__ = float.__hash__


class Shouty(str):
    def __str__(self):
        return "LOUD"


class Backwards(dict):
    def items(self):
        return list(reversed(list(super().items())))


class FalseDict(dict):
    def __bool__(self):
        return False

    def __len__(self):
        return 0


class BadItems(dict):
    def __init__(self, items):
        super().__init__(a=1)
        self._items = items

    def items(self):
        return self._items


class Doubled(list):
    def __iter__(self):
        for value in super().__iter__():
            yield value
            yield value


class HollowList(list):
    def __bool__(self):
        return True


class Marked:
    def __init__(self, text):
        self.text = text

    def __str__(self):
        return Shouty(self.text)


def claiming(kind, **members):
    """An object whose __class__ claims `kind` without being one."""
    return type(f"Claims{kind.__name__}", (), {"__class__": property(lambda self: kind), **members})()


class Grower:
    """str() of it appends to a list being written."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        self.target.append("grown")
        return "grower"


class Shrinker:
    """str() of it deletes a key of the dict being written."""

    def __init__(self, target):
        self.target = target

    def __str__(self):
        self.target.pop("z", None)
        return "shrinker"


def circular_list():
    loop = []
    loop.append(loop)
    return {"x": loop}


def circular_dict():
    loop = {}
    loop["self"] = loop
    return loop


def deep_chain(depth, leaf):
    """Lists `depth` deep with `leaf` at the bottom, and every list of the chain."""
    chain = [[]]
    for _ in range(depth):
        chain.append([chain[-1]])
    chain[0].append(leaf)
    return chain


def circular_deep_down():
    chain = deep_chain(100, None)
    chain[0][0] = chain[60]  # back to an open container far above
    return {"deep": chain[-1]}


def shared_deep_down():
    shared = [1, {"a": [2]}]
    chain = deep_chain(100, shared)
    chain[50].append(shared)  # seen twice, never open twice
    return {"deep": chain[-1], "again": shared}


def growing_list():
    items = [1]
    items.append(Grower(items))
    return {"items": items}


def shrinking_dict():
    inner = {"a": None, "z": 1}
    inner["a"] = Shrinker(inner)
    return {"inner": inner}


def raising_str():
    class Boom:
        def __str__(self):
            raise RuntimeError("no text")

    return {"x": Boom()}


CASES = {
    "int enum value and key": lambda: {"c": Colour.RED, Colour.RED: [Colour.RED]},
    "float subclass repr": lambda: {"f": Reprless(1.5), Reprless(2.5): 0},
    "float subclass comparisons": lambda: {"f": NeverEqual(1.0), NeverEqual(3.0): 1},
    "str subclass": lambda: {Shouty("key"): Shouty("value\n")},
    "dict subclass items": lambda: {"d": Backwards(a=1, b=[2])},
    "dict subclass falsy": lambda: {"d": FalseDict(a=1)},
    "ordered and default dicts": lambda: {"o": collections.OrderedDict(z=1, a=2), "d": collections.defaultdict(int, k=1)},
    "items not pairs": lambda: {"d": BadItems([(1, 2, 3)])},
    "items too short": lambda: {"d": BadItems([("only",)])},
    "items not iterable": lambda: {"d": BadItems([5])},
    "items list too long": lambda: {"d": BadItems([[1, 2, 3]])},
    "list subclass iteration": lambda: {"l": Doubled([1, "a"])},
    "list truthy but empty": lambda: {"l": HollowList()},
    "named tuple": lambda: {"t": collections.namedtuple("P", "x y")(1, [2])},
    "str returning subclass": lambda: {"m": Marked("é")},
    "claims str": lambda: {"s": claiming(str)},
    "claims int": lambda: {"i": claiming(int)},
    "claims float": lambda: {"f": claiming(float)},
    "claims list": lambda: {"l": claiming(list, __iter__=lambda self: iter([1, 2]), __len__=lambda self: 2)},
    "claims dict": lambda: {"d": claiming(dict, items=lambda self: [("k", 1)], __len__=lambda self: 1)},
    "claims str as key": lambda: {claiming(str, __hash__=lambda self: 1): 1},
    "unhashable claim as key": lambda: {PurePosixPath("/k"): 1},
    "tuple key": lambda: {(1, 2): 1},
    "frozenset key": lambda: {frozenset(): 1},
    "circular list": circular_list,
    "circular dict": circular_dict,
    "circular 40 containers down": circular_deep_down,
    "shared but not circular, deep down": shared_deep_down,
    "default object deep down": lambda: {"deep": deep_chain(80, Path("/leaf"))[-1]},
    "circular through a tuple": lambda: (lambda items: (items.append((items,)), {"t": items})[1])([]),
    "list growing meanwhile": growing_list,
    "dict shrinking meanwhile": shrinking_dict,
    "str raising": raising_str,
    "int beyond the digit limit": lambda: {"n": 10**5000},
    "special floats as keys": lambda: {float("nan"): 1, float("inf"): 2, float("-inf"): 3, -0.0: 4, 1e16: 5},
    "empty containers": lambda: {"a": [], "b": {}, "c": (), "d": [[], {}, [{}]]},
    "tuples": lambda: {"t": (1, ("x", [2.5, ()]), {"k": (None, True)})},
    "special floats as values": lambda: {"f": [float("nan"), float("inf"), float("-inf"), -0.0, -float("nan")]},
    "ints at 64 bits": lambda: {"n": [2**63 - 1, -(2**63), 2**63, -(2**63) - 1, 10**30], 2**63 - 1: 1, -(2**64): 2},
    "subclass after plain members": lambda: {"a": [1, {"b": "é" * 40}], "z": [[Colour.RED]]},
    "tuple key deep down": lambda: {"a": [1, {"b": {(1,): 2}}]},
    "other objects": lambda: {"x": [decimal.Decimal("1.10"), 3 + 4j, b"\x00", range(3), time(1, 2), date.min,
                                    datetime(2020, 1, 1), frozenset({1}), type, None]},
}


def outcome(call):
    try:
        return "written", call()
    except Exception as error:  # the comparison is the point
        return type(error), str(error)


@pytest.mark.parametrize("build", CASES.values(), ids=CASES.keys())
def test_side_by_side(store, clock, build):
    expected = outcome(lambda: session_text("acme", "p", build()))
    actual = outcome(lambda: Path(store.save_state("acme", build(), "p")).read_bytes())
    assert actual == expected


@pytest.mark.parametrize("owner, name, value, seen", [
    (json.encoder, "encode_basestring_ascii", lambda text: '"<' + text + '>"', b'"<k>"'),
    (json.JSONEncoder, "key_separator", " = ", b'"k" = "v"'),
], ids=["string encoder", "key separator"])
def test_writer_stands_aside_when_the_encoder_is_patched(store, clock, monkeypatch, owner, name, value, seen):
    monkeypatch.setattr(owner, name, value)
    state = {"k": "v"}
    assert Path(store.save_state("acme", state, "p")).read_bytes() == session_text("acme", "p", state)
    assert seen in session_text("acme", "p", state)


def test_writer_stands_aside_without_the_c_encoder(store, clock, monkeypatch):
    """Without it json.dumps runs the pure-Python encoder, whose generators run out of frames far sooner."""
    monkeypatch.setattr(json.encoder, "c_make_encoder", None)
    state = {"x": nested(1500, 1)}
    assert outcome(lambda: store.save_state("acme", state, "p")) == outcome(lambda: session_text("acme", "p", state))


DOCUMENTS = {  # plain ones, and one for each reason to leave a document to json.dumps
    "plain": ({"a": [1, 2.5, None, True, "é\n", (1, [2])], 1: {}, 2.5: [], None: 0, False: "", float("nan"): 1},
              False),
    "int subclass": ({"a": [1, Colour.RED]}, True),
    "float subclass key": ({Reprless(2.5): 0}, True),
    "str subclass value": ({"s": Shouty("v")}, True),
    "dict subclass": ({"d": collections.OrderedDict(a=1)}, True),
    "list subclass": ({"l": HollowList([1])}, True),
    "named tuple": ({"t": collections.namedtuple("P", "x")(1)}, True),
    "object for default": ({"p": Path("/x")}, True),
    "int past 64 bits": ({"n": 2**64}, True),
    "int past 64 bits as key": ({-(2**64): 0}, True),
    "tuple as key": ({(1,): 0}, True),
    "circular": (circular_list(), True),
}


@pytest.mark.parametrize("state, left_to_json", DOCUMENTS.values(), ids=DOCUMENTS.keys())
def test_documents_left_to_json_dumps(store, clock, state, left_to_json):
    """json.dumps runs, observed through the profiler, exactly for the documents the writer leaves to it: from 3.13
    on the non-plain ones; before, none (the writer follows the pure-Python encoder through any document)."""
    calls = []

    def observe(frame, event, arg):
        if event == "call" and frame.f_code is json.dumps.__code__:
            calls.append(frame)

    sys.setprofile(observe)
    try:
        actual = outcome(lambda: Path(store.save_state("acme", state, "p")).read_bytes())
    finally:
        sys.setprofile(None)
    assert actual == outcome(lambda: session_text("acme", "p", state))
    assert len(calls) == (left_to_json and sys.version_info >= (3, 13))


# ------------------------------------------------------------ nesting depth


def nested(depth, leaf):
    value = leaf
    for _ in range(depth):
        value = [value]
    return value


def deepest(call, high=3000):
    """The deepest nesting `call` writes before it raises RecursionError."""
    low = 0
    while low < high:
        middle = (low + high + 1) // 2
        try:
            call(middle)
            low = middle
        except RecursionError:
            high = middle - 1
    return low


def python_save(state):
    """One frame standing for the function that saves, as the interpreter would run it."""
    return json.dumps({"org_id": "acme", "phase": "p", "saved_at": MOMENT.isoformat(), "state": state},
                      indent=2, default=str)


@pytest.mark.parametrize("leaf", [1, "text", Path("/leaf")], ids=["int", "str", "default"])
def test_recursion_limit_where_the_interpreter_has_it(store, clock, leaf):
    interpreter = deepest(lambda depth: python_save({"x": nested(depth, leaf)}))
    ours = deepest(lambda depth: store.save_state("acme", {"x": nested(depth, leaf)}, "p"))
    assert ours == interpreter > 100


def c_calls_deep(levels, call):
    """`call` made under `levels` nested calls from C into Python, each taking from the C recursion budget."""
    return call() if levels == 0 else next(map(lambda _: c_calls_deep(levels - 1, call), [None]))


@pytest.mark.skipif(sys.version_info < (3, 13), reason="json.dumps with an indent runs the C encoder from 3.13 on")
def test_recursion_limit_where_the_c_encoder_has_it(store, clock):
    """The C encoder takes a nested C call per container: with most of the budget spent by the caller, a shallow
    document reaches its limit. json.dumps is called from C by save_state, and through map() here."""
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(30_000)  # two Python frames per level of c_calls_deep
    try:
        compact = [deepest(lambda depth: c_calls_deep(levels, lambda: json.dumps(nested(depth, 1))), high=20_000)
                   for levels in (0, 10)]
        levels = (compact[0] - 400) // ((compact[0] - compact[1]) // 10)
        interpreter = deepest(
            lambda depth: c_calls_deep(levels, lambda: next(map(python_save, [{"x": nested(depth, 1)}]))))
        ours = deepest(
            lambda depth: c_calls_deep(levels, lambda: store.save_state("acme", {"x": nested(depth, 1)}, "p")))
    finally:
        sys.setrecursionlimit(limit)
    assert ours == interpreter > 100
