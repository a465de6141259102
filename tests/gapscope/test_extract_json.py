"""_extract_json against a plain Python rendering of the same algorithm.

The rendering below is the reference: the native function must return the
same text and log the same lines for every str, whatever path it takes
inside (the one-pass truncation search, or json.loads on every candidate).
"""

import contextlib
import json
import logging
import os
import pathlib
import random
import re
import types

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from brevanta import gapscope
from support.leaks import assert_no_leak, raising

SANITIZED = bool(os.environ.get("BREVANTA_SANITIZED"))
CORPUS = pathlib.Path(__file__).resolve().parents[3] / "shared" / "corpora" / "jsontestsuite" / "test_parsing"
COMMA_FIX = "JSON repaired successfully (trailing comma fix)"

_TRAILING_COMMA = re.compile(r",\s*([}\]])")


def repair_trailing_commas(text):
    """Drop a comma and the whitespace after it before a closing bracket outside
    strings; escape a line feed before a closing quote inside strings."""
    out, i, in_string = [], 0, False
    while i < len(text):
        ch = text[i]
        if in_string:
            if ch == "\\":
                out.append(text[i : i + 2])
                i += 2
                continue
            if ch == "\n" and text[i + 1 : i + 2] == '"':
                ch = "\\n"
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch == "," and (match := _TRAILING_COMMA.match(text, i)):
            out.append(match.group(1))
            i = match.end()
            continue
        out.append(ch)
        i += 1
    return "".join(out)


def narrowed(text):
    """The working text: fence stripping, then the brace cut."""
    for fence in ("```json", "```"):
        if fence in text:
            start = text.index(fence) + len(fence)
            end = text.find("```", start)
            text = text[start : end if end != -1 else len(text)].strip()
            break
    first, last = text.find("{"), text.rfind("}")
    if first != -1 and last != -1:
        text = text[first : last + 1]
    return text


def extract_json_reference(text, log, loads=json.loads):
    try:
        text = narrowed(text)
        try:
            loads(text)
            return text
        except json.JSONDecodeError:
            pass
        repaired = repair_trailing_commas(text)
        try:
            loads(repaired)
            log(COMMA_FIX)
            return repaired
        except json.JSONDecodeError:
            pass
        n = len(text)
        for i in range(n, max(0, n - 500), -1):
            candidate = text[:i]
            if candidate.count("{") + candidate.count("[") != candidate.count("}") + candidate.count("]"):
                continue
            try:
                loads(candidate)
            except json.JSONDecodeError:
                continue
            log(f"JSON repaired by truncation at char {i}/{n}")
            return candidate
        return text
    except Exception:
        return text


class _Lines(logging.Handler):
    def __init__(self):
        super().__init__(logging.DEBUG)
        self.lines = []

    def emit(self, record):
        self.lines.append((record.levelname, record.getMessage()))


@contextlib.contextmanager
def logged_lines():
    """The lines logged on "corvane.analyzer" while the block runs."""
    logger = logging.getLogger("corvane.analyzer")
    handler, level = _Lines(), logger.level
    logger.addHandler(handler)
    logger.setLevel(logging.INFO)
    try:
        yield handler.lines
    finally:
        logger.removeHandler(handler)
        logger.setLevel(level)


class _CountingDecoder(json.JSONDecoder):
    """json.loads' own decoder, counting its work; json.loads itself stays the same object."""

    calls = 0

    def decode(self, s, *args, **kwargs):
        self.calls += 1
        return super().decode(s, *args, **kwargs)


@contextlib.contextmanager
def counted_parses():
    decoder, saved = _CountingDecoder(), json._default_decoder
    json._default_decoder = decoder
    try:
        yield decoder
    finally:
        json._default_decoder = saved


def native(text):
    with logged_lines() as lines:
        result = gapscope._extract_json(text)
    assert type(result) is str
    return result, [message for level, message in lines if level == "INFO"]


def reference(text, loads=json.loads):
    lines = []
    return extract_json_reference(text, lines.append, loads), lines


def _outcome(text):
    try:
        json.loads(text)
        return "parses"
    except json.JSONDecodeError:
        return "fails"
    except Exception:
        return "ends"


def texts_parsed(text, result, lines):
    """What the native function hands json.loads when its scan is exact: the
    working text, the comma fix only when it changed something, and of the
    truncation repair only the chosen prefix."""
    working = narrowed(text)
    if _outcome(working) != "fails":
        return [working]
    repaired = repair_trailing_commas(working)
    parsed = [working] + ([repaired] if repaired != working else [])
    if repaired != working and _outcome(repaired) != "fails":
        return parsed
    truncated = any(line.startswith("JSON repaired by truncation") for line in lines)
    return parsed + ([result] if truncated else [])


def assert_same(text):
    with counted_parses() as decoder:
        got = native(text)
    expected = reference(text)
    assert got == expected
    # json.loads turns a leading byte order mark away before its decoder runs.
    decoded = [t for t in texts_parsed(text, *expected) if not t.startswith("\ufeff")]
    assert decoder.calls == len(decoded)


# ------------------------------------------------------------ generated replies

_SCALARS = (
    st.none()
    | st.booleans()
    | st.integers(-(10**20), 10**20)
    | st.floats(allow_nan=True, allow_infinity=True)
    | st.text(st.sampled_from('ab ,}]{["\\\n\té中😀\x1f'), max_size=8)
)
_VALUES = st.recursive(
    _SCALARS,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text("kéy ,}", max_size=4), inner, max_size=4),
    max_leaves=12,
)
_PROSE = st.text(st.sampled_from("ab ,.:\n\t{}[]\"'`\\é中😀\u3000\x1c"), max_size=30)
# Pieces that steer the JSON scanner into its corners.
_PIECES = st.sampled_from(
    ["{", "}", "[", "]", '"', ",", ":", " ", "\n", "\t", "\r", '"k"', '"a b"', "1", "-", ".", "e", "E", "+", "0",
     "12", "true", "false", "null", "nul", "NaN", "Infinity", "-Infinity", "\\", "\\n", "\\u00e9", "\\u12",
     "\\ud83d\\ude00", "```json", "```", "```python\n", "x", "é", "中", "😀", "\u3000", "\x1c", "\x00", "\ufeff",
     ",\n}", ", ]", '\n"', "\u2028"]
)
_FRAGMENTS = st.lists(_PIECES, max_size=40).map("".join)


@st.composite
def json_texts(draw):
    """A JSON value as a model might lay it out, with trailing commas added."""
    indent = draw(st.sampled_from([None, 0, 2]))
    text = json.dumps(draw(_VALUES), indent=indent, ensure_ascii=draw(st.booleans()))
    closers = [i for i, ch in enumerate(text) if ch in "]}"]
    for i in sorted(draw(st.sets(st.sampled_from(closers), max_size=3)) if closers else [], reverse=True):
        text = text[:i] + draw(st.sampled_from([",", ", ", ",\n", ",\u3000"])) + text[i:]
    return text


@st.composite
def replies(draw):
    body = draw(json_texts() | _FRAGMENTS)
    if draw(st.integers(0, 4)) == 0:  # cut off, as at the output limit
        body = body[: draw(st.integers(0, len(body)))]
    tail = draw(
        st.sampled_from(["", "}", "}}", "]", " {x}", "\n\nNote {a} b.", "```"])
        | _PROSE
        | st.integers(480, 520).map(lambda k: " " + "x" * (k - 3) + "{}")
        | st.integers(480, 520).map(lambda k: "y" * k + "}")
    )
    fence = draw(st.sampled_from(["", "```json\n", "```\n", "```python\n", "```json"]))
    closing = draw(st.sampled_from(["\n```", "```", ""])) if fence else ""
    return draw(_PROSE) + fence + body + tail + closing + draw(_PROSE)


_EXAMPLES = 60 if SANITIZED else 500


@settings(max_examples=_EXAMPLES, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(replies())
def test_generated_replies_match_the_reference(text):
    assert_same(text)


@settings(max_examples=_EXAMPLES, deadline=None)
@given(_FRAGMENTS, _FRAGMENTS)
def test_scanner_corners_match_the_reference(head, tail):
    assert_same(head + tail)
    assert_same(head.strip() + " " + tail)


@settings(max_examples=_EXAMPLES // 2, deadline=None)
@given(st.text(st.characters(exclude_categories=())))
def test_any_str_gives_a_str_without_raising(text):
    assert_same(text)


# ------------------------------------------------------------ the edge cases, spelled out

OBJECT = '{"score": 0.8, "gaps": [{"id": "gap_1"}]}'


@pytest.mark.parametrize(
    ("text", "expected", "lines"),
    [
        (f"Here you go:\n```json\n{OBJECT}\n```\nHope it helps.", OBJECT, []),
        (f"```python\nprint(1)\n```\nthen\n```json\n{OBJECT}\n```", OBJECT, []),
        (f"```json\n  {OBJECT}  \n\n", OBJECT, []),
        (f"```python\n{OBJECT}\n```", OBJECT, []),
        ("[1, 2, 3]", "[1, 2, 3]", []),
        ('[{"a": 1}, {"b": 2}]', '{"a": 1}', ["JSON repaired by truncation at char 8/18"]),
        ("Just some prose.", "Just some prose.", []),
        ("", "", []),
        ("} before {", "", []),
        ('{"a": [1, 2,], "b": 3,}', '{"a": [1, 2], "b": 3}', [COMMA_FIX]),
        ('{"a": "x, }", "b": 1,}', '{"a": "x, }", "b": 1}', [COMMA_FIX]),
        ('{\n"a": 1,\n"b": [2,\n],\n}', '{\n"a": 1,\n"b": [2]}', [COMMA_FIX]),
        ('{"a": "line\n"}', '{"a": "line\\n"}', [COMMA_FIX]),
        (f"{OBJECT}\n\nSee {{the notes}}.", OBJECT + "\n\n", ["JSON repaired by truncation at char 43/58"]),
        (OBJECT + "}", OBJECT, ["JSON repaired by truncation at char 41/42"]),
        ('{"summary": "cut off at the lim', '{"summary": "cut off at the lim', []),
        ('{"a": "["} trailing {x}', '{"a": "["} trailing {x}', []),
        (OBJECT + "x" * 498 + "}", OBJECT, ["JSON repaired by truncation at char 41/540"]),
        (OBJECT + "x" * 499 + "}", OBJECT + "x" * 499 + "}", []),
        ('{"a": "é中😀"} {x}', '{"a": "é中😀"} ', ["JSON repaired by truncation at char 13/16"]),
        ("12.5e3 trailing", "12.5e3 ", ["JSON repaired by truncation at char 7/15"]),
        ("\ufeff[1, 2] x", "\ufeff[1, 2] x", []),
    ],
)
def test_edge_cases(text, expected, lines):
    assert native(text) == (expected, lines)
    assert reference(text) == (expected, lines)


def test_repairs_leave_string_contents_alone():
    text = '{"a": "x, }", "b": "\n"}'  # the raw line feed makes it fail...
    assert native(text)[0] == '{"a": "x, }", "b": "\\n"}'  # ...so the repair escapes it
    assert native('{"a": "x, }"}') == ('{"a": "x, }"}', [])


@pytest.mark.parametrize("space", [chr(c) for c in range(0x3001) if chr(c).isspace()] + ["\u200b", "\ufeff", "\x1b"])
def test_whitespace_before_a_bracket_is_what_re_counts(space):
    assert_same('{"a": [1,' + space + '], "b": 2,' + space * 2 + "}")
    assert_same('{"a": "1,' + space + ']", "b": 2,}')


# ------------------------------------------------------------ corpus

def _corpus():
    if not CORPUS.is_dir():
        return []
    return sorted(CORPUS.glob("*.json"))


@pytest.mark.skipif(not CORPUS.is_dir(), reason="JSONTestSuite corpus not present")
@pytest.mark.parametrize("path", _corpus(), ids=lambda p: p.name)
def test_corpus_documents_match_the_reference(path):
    document = path.read_bytes().decode("utf-8", errors="surrogateescape")
    for text in (
        document,
        document + " }",
        document + "\n\nThat is all {x}",
        "Answer:\n```json\n" + document + "\n```\nbye",
        document[: len(document) // 2],
        "{" + document + "}",
        "[" + document + "] {}",
    ):
        assert_same(text)


# ------------------------------------------------------------ fuzz

_SEEDS = [
    OBJECT,
    '{"a": [1, 2,], "b": {"c": "d, ]",},}',
    '```json\n{"gaps": [{"id": "g", "title": "T"}], "summary": "S"}\n```\nMore {text}.',
    '[{"a": 1}, {"b": 2}] and then } and ]',
    '{"n": -0.5e-3, "t": true, "f": false, "z": null, "x": NaN, "i": -Infinity}',
    '{"s": "\\u00e9\\ud83d\\ude00\\n\\"q\\""} {}',
]
_MUTATION_ALPHABET = '{}[]",:\\ \n\t0123456789-+.eEnulltrfasNIy`é😀\x00\ufeff'


def _mutated(rng, text):
    chars = list(text)
    for _ in range(rng.randint(1, 6)):
        where = rng.randint(0, len(chars))
        action = rng.randrange(4)
        if action == 0 and chars:
            del chars[min(where, len(chars) - 1)]
        elif action == 1:
            chars.insert(where, rng.choice(_MUTATION_ALPHABET))
        elif action == 2 and chars:
            chars[min(where, len(chars) - 1)] = rng.choice(_MUTATION_ALPHABET)
        else:
            chars = chars[:where] + chars[where:] * 2  # repeat a tail
    return "".join(chars)


def test_fuzz_random_and_mutated_replies():
    rng = random.Random(20240601)
    rounds = 300 if SANITIZED else 5000
    for _ in range(rounds):
        if rng.random() < 0.2:
            text = "".join(rng.choice(_MUTATION_ALPHABET) for _ in range(rng.randint(0, 60)))
        else:
            text = _mutated(rng, rng.choice(_SEEDS))
        assert_same(text)


# ------------------------------------------------------------ how it uses json and logger

def test_nesting_too_deep_for_the_parser_returns_the_working_text():
    deep = "[" * 100_000 + "]" * 100_000
    assert native(f"prose ```json\n{deep}\n``` prose") == (deep, [])
    assert reference(deep) == (deep, [])


class RecordingJson:
    """The json module with a loads that records what it was given."""

    def __init__(self):
        self.seen = []
        self.JSONDecodeError = json.JSONDecodeError

    def loads(self, text):
        self.seen.append(text)
        return json.loads(text)


@pytest.mark.parametrize(
    "text",
    [OBJECT, '{"a": [1,],}', OBJECT + " {x} " + "z" * 40, '[{"a": 1}, {"b": 2}]', "plain prose", "x" * 700 + "}"],
)
def test_a_replaced_json_loads_is_called_for_every_candidate(monkeypatch, text):
    fake = RecordingJson()
    monkeypatch.setattr(gapscope, "json", fake)
    got = native(text)
    expected_fake = RecordingJson()
    assert got == reference(text, loads=expected_fake.loads)
    assert fake.seen == expected_fake.seen


def test_the_interpreters_parser_is_asked_again_when_it_disagrees_with_the_scan(monkeypatch):
    text = '{"a": 1}  {"b": 2}'

    class Stricter(json.JSONDecoder):
        def decode(self, s, *args):
            if s.endswith("  "):  # refuse the prefix the scan picks first
                raise json.JSONDecodeError("refused", s, 0)
            return super().decode(s, *args)

    monkeypatch.setattr(json, "_default_decoder", Stricter())
    assert native(text) == reference(text) == ('{"a": 1} ', ["JSON repaired by truncation at char 9/18"])


def test_json_is_looked_up_at_each_use(monkeypatch):
    monkeypatch.setattr(gapscope, "json", types.SimpleNamespace(loads=json.loads))  # no JSONDecodeError
    assert native('x ```json {"a": 1,} ``` y') == ('{"a": 1,}', [])  # the except clause fails: quiet end


def test_errors_outside_the_exception_family_pass_through(monkeypatch):
    def interrupted(text):
        raise KeyboardInterrupt

    monkeypatch.setattr(gapscope, "json", types.SimpleNamespace(loads=interrupted, JSONDecodeError=ValueError))
    with pytest.raises(KeyboardInterrupt):
        gapscope._extract_json("{}")


class RecordingLogger:
    def __init__(self, fail=False):
        self.calls, self.fail = [], fail

    def info(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.fail:
            raise RuntimeError("log failed")


def test_logger_gets_one_finished_line(monkeypatch):
    logger = RecordingLogger()
    monkeypatch.setattr(gapscope, "logger", logger)
    gapscope._extract_json('{"a": 1,}')
    gapscope._extract_json('{"a": 1}}')
    assert logger.calls == [((COMMA_FIX,), {}), (("JSON repaired by truncation at char 8/9",), {})]


@pytest.mark.parametrize("text", ['{"a": 1,}', '{"a": 1}}'])
def test_a_failing_log_line_returns_the_unrepaired_working_text(monkeypatch, text):
    monkeypatch.setattr(gapscope, "logger", RecordingLogger(fail=True))
    assert gapscope._extract_json("```json\n" + text + "\n```") == text


def test_rejects_what_is_not_a_str():
    with pytest.raises(TypeError, match=r"Argument 'text' has incorrect type \(expected str, got NoneType\)"):
        gapscope._extract_json(None)


@pytest.mark.parametrize(
    "text",
    [OBJECT, '{"a": [1,],}', OBJECT + "} {x}", "plain prose", "[" * 5000 + "]" * 5000, "é中😀 {" + "x" * 600 + "}"],
    ids=["direct", "comma-fix", "truncation", "unrepaired", "too-deep", "wide-chars"],
)
def test_no_leak(text):
    assert_no_leak(lambda: gapscope._extract_json(text), iterations=200 if SANITIZED else 600)


def test_no_leak_on_argument_error():
    assert_no_leak(raising(TypeError, gapscope._extract_json, 1))
