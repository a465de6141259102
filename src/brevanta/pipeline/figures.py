"""The figures of a document looked up in its sources (the interview, the follow-up answers and the
attached documents), so that the reader knows which numbers the model did not take from them.

A figure is a number with or without a unit, a percentage, an amount of money, a count, a date or a
time. Each is reduced to the values it may stand for (`15,000`, `15000` and `15k` are one value;
`9 pm` is `21:00`; `11 March` is `March 11th`), and a document's figure is found when one of its values
is among the sources' values of the same sort. Where a form is ambiguous (`03/04`, `5m`) every reading is
tried: a figure is listed only when no reading is in the sources.
"""

from __future__ import annotations

import functools
import re
from collections.abc import Iterable, Iterator
from dataclasses import dataclass, field
from decimal import Decimal, InvalidOperation

FIGURES_HEADING = "Figures to verify"
FIGURES_NOTE = ("Not found in the interview, the follow-up answers or the attached documents: check each one "
                "before the document is approved.")
NO_FIGURES = "None: every figure in this document is in the interview, the follow-up answers or the attached documents."

_MONTHS = {name: number for number, names in enumerate(
    (("january", "jan"), ("february", "feb"), ("march", "mar"), ("april", "apr"), ("may",), ("june", "jun"),
     ("july", "jul"), ("august", "aug"), ("september", "sep", "sept"), ("october", "oct"),
     ("november", "nov"), ("december", "dec")), start=1) for name in names}
_MONTH = (r"(?P<{}>(?:Jan|Feb|Mar|Apr|Jun|Jul|Aug|Sept?|Oct|Nov|Dec)\.?"
          r"|January|February|March|April|May|June|July|August|September|October|November|December)")
_ORDINAL = r"(?:st|nd|rd|th)?"
_CURRENCIES = {"₹": "INR", "rs": "INR", "rs.": "INR", "inr": "INR", "rupee": "INR", "rupees": "INR",
               "$": "USD", "us$": "USD", "usd": "USD", "dollar": "USD", "dollars": "USD",
               "€": "EUR", "eur": "EUR", "euro": "EUR", "euros": "EUR",
               "£": "GBP", "gbp": "GBP", "pound": "GBP", "pounds": "GBP"}
_SCALES = {"k": [1000], "thousand": [1000], "m": [1, 1_000_000], "mn": [1_000_000], "million": [1_000_000],
           "bn": [1_000_000_000], "billion": [1_000_000_000], "lakh": [100_000], "lakhs": [100_000],
           "lac": [100_000], "crore": [10_000_000], "crores": [10_000_000], "cr": [10_000_000]}
_NUMBER = r"\d{1,3}(?:,\d{2,3})+(?:\.\d+)?|\d+(?:\.\d+)?"
_SCALE = r"(?:\s?(?:thousand|million|billion|lakhs?|lac|crores?)\b|(?:k|mn|m|bn|cr)(?![A-Za-z]))"
_AMPM = r"(?P<ampm>[ap]\.m\.|[ap]m\b)"

# In order of precedence: what an earlier pattern takes, no later one sees.
_PATTERNS = [
    ("iso_date", rf"(?<![\w.])(?P<y>\d{{4}})-(?P<m>\d{{1,2}})-(?P<d>\d{{1,2}})(?![\w-])"),
    ("slash_date", rf"(?<![\w./])(?P<a>\d{{1,2}})[/.](?P<b>\d{{1,2}})[/.](?P<y>\d{{2}}|\d{{4}})(?![\w/])"),
    ("day_month", rf"(?<![\w.,])(?P<d>\d{{1,2}}){_ORDINAL}\s+(?:of\s+)?{_MONTH.format('m')}"
                  rf"(?:,?\s+(?P<y>\d{{4}}))?(?!\w)"),
    ("month_day", rf"{_MONTH.format('m')}\s+(?P<d>\d{{1,2}}){_ORDINAL}(?!\d)(?:,?\s+(?P<y>\d{{4}}))?(?![\w:])"),
    ("month_year", rf"{_MONTH.format('m')}\s+(?P<y>\d{{4}})(?!\w)"),
    ("clock", rf"(?<![\w.:])(?P<h>\d{{1,2}}):(?P<min>\d{{2}})(?!\d)(?:\s?{_AMPM})?"),
    ("hour", rf"(?<![\w.,])(?P<h>\d{{1,2}})\s?{_AMPM}"),
    ("money", rf"(?P<cur>₹|US\$|\$|€|£|(?<![A-Za-z])(?:Rs\.?|INR|USD|EUR|GBP))\s?"
              rf"(?P<n>{_NUMBER})(?P<scale>{_SCALE})?"),
    ("number", rf"(?<![A-Za-z])(?<![A-Za-z]-)(?<![\d.,])(?P<n>{_NUMBER})(?P<scale>{_SCALE})?"
               rf"(?P<unit>\s?(?:%|per\s?cent\b|percent\b)|(?:st|nd|rd|th|x|h|s|ms)(?![A-Za-z]))?"
               rf"(?:\s?(?P<cur>rupees?|dollars?|euros?|pounds?|INR|USD|EUR|GBP)\b)?(?![A-Za-z\d])"
               rf"(?P<per>[ -](?:milli)?(?:second|minute|hour|day|week|month|year)s?\b)?"),
]
# The lookahead lets the scanner pass over every position where no figure can begin (a digit, a
# currency sign or code, a month's name) without trying each pattern there.
_ALTERNATIVES = "|".join(f"(?P<{name}>{pattern.replace('(?P<', f'(?P<{name}_')})" for name, pattern in _PATTERNS)
_FIGURE = re.compile(f"(?=[0-9₹$€£RIUEGJFMASOND])(?:{_ALTERNATIVES})")

# What looks like a number but is not a figure: requirement ids (FR-3, NFR-1.2), the numbering of a
# heading or a list item, section numbers, the numbers of standards (ISO 27001, SOC 2, TLS 1.3), web
# addresses and HTML comments.
_NOT_FIGURES = re.compile(
    r"\b[A-Z][A-Za-z]{0,5}-\d+(?:\.\d+)*\b"
    r"|\b(?:section|sections|§)\s*\d+(?:\.\d+)*\b"
    r"|\b(?:ISO(?:/IEC)?|IEC|RFC|SOC|PCI[ -]DSS|TLS|HTTP|WCAG)[ -]?\d+(?:[.:-]\d+)*\b"
    r"|^[ \t]*#{1,6}[ \t]+(?:(?:section|part)\s+)?\d+(?:\.\d+)*[.):]?"
    r"|^[ \t]*(?:[-*+][ \t]+)?\d+(?:\.\d+)*[.)](?=[ \t])"
    r"|(?:https?|mailto|ftp):\S+|<!--.*?-->",
    re.MULTILINE | re.IGNORECASE | re.DOTALL,
)
_NUMBER_WORDS = {word: number for number, word in enumerate(
    "zero one two three four five six seven eight nine ten eleven twelve thirteen fourteen fifteen sixteen "
    "seventeen eighteen nineteen twenty".split())}
_NUMBER_WORDS.update(thirty=30, forty=40, fifty=50, sixty=60, seventy=70, eighty=80, ninety=90, hundred=100,
                     dozen=12)
_WORD = re.compile(r"\b(" + "|".join(_NUMBER_WORDS) + r")\b", re.IGNORECASE)


@dataclass(frozen=True)
class Figure:
    """One figure as written, with every value it may stand for: ("number", 15000), ("money", "INR",
    15000), ("date", None, 3, 11), ("time", 1260)."""

    text: str
    start: int
    values: frozenset[tuple[object, ...]]


@dataclass
class Sources:
    """Every value the sources hold, by sort."""

    values: set[tuple[object, ...]] = field(default_factory=set)

    def add(self, figure: Figure) -> None:
        for value in figure.values:
            self.values.add(value)
            self.values.update(_looser(value))
            if value[0] == "number":  # written without a currency: it may be an amount in any
                self.values.add(("bare", value[1]))

    def holds(self, figure: Figure) -> bool:
        return any(reading in self.values for value in figure.values for reading in _readings(value))


def _readings(value: tuple[object, ...]) -> Iterator[tuple[object, ...]]:
    """What a document's value is found as: itself, an amount as a bare number, a dated day as that day
    in a source that gives no year."""
    yield value
    if value[0] == "money":
        yield ("bare", value[2])
    elif value[0] == "date" and value[1] is not None and value[3] is not None:
        yield ("date", None, value[2], value[3])


def _looser(value: tuple[object, ...]) -> Iterator[tuple[object, ...]]:
    """The readings a source value also supports: an amount is a plain number too, a full date is a day
    of its month and a month of its year, and each part of a date or a time is a number."""
    sort = value[0]
    if sort == "money":
        yield ("number", value[2])
    elif sort == "date":
        year, month, day = value[1], value[2], value[3]
        if year is not None:
            yield ("date", None, month, day)
            yield ("date", year, month, None)
            yield ("number", Decimal(str(year)))
        if day is not None:
            yield ("number", Decimal(day))  # type: ignore[arg-type]
    elif sort == "time":
        minutes = int(str(value[1]))
        yield ("number", Decimal(minutes // 60))
        yield ("number", Decimal(minutes // 60 % 12 or 12))


def _decimal(text: str) -> Decimal | None:
    try:
        return Decimal(text.replace(",", ""))
    except InvalidOperation:
        return None


def _amounts(number: str, scale: str | None) -> list[Decimal]:
    value = _decimal(number)
    if value is None:
        return []
    factors = _SCALES.get((scale or "").strip().lower(), [1])
    return [(value * factor).normalize() for factor in factors]


def _year(text: str | None) -> int | None:
    if not text:
        return None
    year = int(text)
    return year + 2000 if year < 100 else year


def _date_values(year: int | None, month: int, day: int | None) -> set[tuple[object, ...]]:
    if not 1 <= month <= 12 or day is not None and not 1 <= day <= 31:
        return set()
    return {("date", year, month, day)}


def _values(kind: str, group: dict[str, str | None]) -> set[tuple[object, ...]]:
    """The values one matched figure may stand for."""
    def get(name: str) -> str | None:
        return group.get(f"{kind}_{name}")

    if kind in ("iso_date", "day_month", "month_day", "month_year"):
        month_text = get("m") or ""
        month = int(month_text) if month_text.isdigit() else _MONTHS.get(month_text.rstrip(".").lower(), 0)
        day = get("d")
        return _date_values(_year(get("y")), month, int(day) if day else None)
    if kind == "slash_date":
        first, second, year = int(get("a") or 0), int(get("b") or 0), _year(get("y"))
        return _date_values(year, second, first) | _date_values(year, first, second)
    if kind in ("clock", "hour"):
        hour, minutes = int(get("h") or 0), int(get("min") or 0)
        half = (get("ampm") or "").lower()[:1]
        if hour > 23 or minutes > 59 or half and not 1 <= hour <= 12:
            return set()
        hours = [hour % 12 + (12 if half == "p" else 0)] if half else [hour, hour + 12] if hour < 12 else [hour]
        return {("time", h * 60 + minutes) for h in hours}
    amounts = _amounts(get("n") or "", get("scale"))
    currency = get("cur")
    if currency:
        code = _CURRENCIES.get(currency.lower(), currency.upper())
        return {("money", code, amount) for amount in amounts}
    return {("number", amount) for amount in amounts}


def _masked(text: str) -> str:
    """`text` with every non-figure blanked out, offsets kept."""
    return _NOT_FIGURES.sub(lambda match: re.sub(r"[^\n]", " ", match.group(0)), text)


def find_figures(text: str, *, skip_non_figures: bool = True) -> list[Figure]:
    """The figures of `text`, in order."""
    scanned = _masked(text) if skip_non_figures else text
    figures = []
    for match in _FIGURE.finditer(scanned):
        kind = match.lastgroup or ""
        values = _values(kind, match.groupdict())
        if values:
            figures.append(Figure(text[match.start():match.end()].strip(), match.start(), frozenset(values)))
    return figures


def source_values(texts: Iterable[str]) -> Sources:
    """The values of every figure in the sources, numbers written as words included."""
    return Sources(set(_source_values(tuple(texts))))


@functools.lru_cache(maxsize=4)  # both documents of a run look in the same sources
def _source_values(texts: tuple[str, ...]) -> frozenset[tuple[object, ...]]:
    sources = Sources()
    for text in texts:
        for figure in find_figures(text, skip_non_figures=False):
            sources.add(figure)
        for word in _WORD.finditer(text):
            number = Decimal(_NUMBER_WORDS[word.group(1).lower()])
            sources.values.update({("number", number), ("bare", number)})
    return frozenset(sources.values)


@dataclass(frozen=True)
class Unsourced:
    """A figure found in none of the sources, with the sentence it appears in."""

    text: str
    sentence: str


_BLOCK_BREAK = re.compile(r"\n[ \t]*\n|\n(?=[ \t]*(?:[-*+]|\d+[.)])[ \t])|\n(?=#)")
_SENTENCE_END = re.compile(r"(?<=[.!?])[\"')\]]*\s+(?=[\"'(\[*_]*[A-Z0-9₹$€£])")
_LIST_MARKER = re.compile(r"^[ \t]*(?:[-*+]|\d+[.)])[ \t]+|^#{1,6}[ \t]+")


def sentence_at(text: str, offset: int) -> str:
    """The sentence of `text` around `offset`, as one line without list markers or emphasis."""
    start = max((match.end() for match in _BLOCK_BREAK.finditer(text, 0, offset)), default=0)
    following = _BLOCK_BREAK.search(text, offset)
    block = text[start:following.start() if following else len(text)]
    inside = offset - start
    begin = max((match.end() for match in _SENTENCE_END.finditer(block) if match.end() <= inside), default=0)
    end = next((match.start() for match in _SENTENCE_END.finditer(block) if match.start() >= inside), len(block))
    sentence = _LIST_MARKER.sub("", block[begin:end].strip())
    return " ".join(sentence.replace("**", "").split())


def unsourced_figures(document: str, sources: Sources) -> list[Unsourced]:
    """The document's figures found in none of the sources, each listed once, in order."""
    listed: dict[str, Unsourced] = {}
    for figure in find_figures(document):
        shown = " ".join(figure.text.split())
        if shown not in listed and not sources.holds(figure):
            listed[shown] = Unsourced(shown, sentence_at(document, figure.start))
    return list(listed.values())


def figures_section(unsourced: list[Unsourced]) -> str:
    """The "Figures to verify" section: each figure with the sentence it appears in."""
    if not unsourced:
        return f"## {FIGURES_HEADING}\n\n{NO_FIGURES}\n"
    entries = "\n".join(f"- **{item.text}**: \u201c{item.sentence}\u201d" for item in unsourced)
    return f"## {FIGURES_HEADING}\n\n{FIGURES_NOTE}\n\n{entries}\n"
