"""The figures of a document looked up in its sources (the interview, the follow-up answers and the
attached documents), so that the reader knows which numbers the model did not take from them.

Each figure is read as its value and its kind (`figure_reading`), and is found only where a source
holds the same value of the same kind, with the same period if the document gives one:

- a percentage, an amount of money (in the same currency), a duration, a date, a time of day, a
  multiple ("2x") or "24/7" is found only as the same;
- a count ("3 nurses") is found as the same count of the same noun, or as a bare number of the same
  value (a source's list such as "8 in Bengaluru, 4 in Pune" names its noun once);
- an amount of money is found as a bare number of the same value too ("a token of 5000");
- a bare number ("under 18", a table cell) is found as any count, amount, duration, multiple or bare
  number of the same value, but never as a percentage, a date, a time of day or an ordinal ("18%",
  "3 February", "9 pm", "42nd" do not supply it); a year ("2023") is found in any date of that year;
- an ordinal ("95th") is found as the same ordinal or a bare number;
- a date without a year is found in any date of that day; a date with one in the same date, or the
  same day where the source gives no year;
- a document's figure without a period is found in a rate of the same value ("9,000 enquiries" in
  "9,000 enquiries a month"), but "60 an hour" is never "60 a day" or a plain 60.

Not figures in a document: requirement ids (FR-3), the numbering of headings and list items, section
numbers, the numbers of standards (ISO 27001, SOC 2, TLS 1.3), names (claude-sonnet-4-5, 99acres, 4G),
web addresses, and one to nine written in words counting things ("two leads", "one calendar"): they
are prose. Headings, table cells and HTML comments are checked like any other text; a bare number in a
table takes the unit its column's heading gives ("Occupancy (%)").
"""

from __future__ import annotations

import bisect
import functools
import re
from collections.abc import Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass, replace
from decimal import Decimal

from brevanta.pipeline.figure_reading import (COUNT, DATE, DURATION, MONEY, NUMBER, ORDINAL, TIMES, Figure,
                                              Reading, read_figures)
from brevanta.pipeline.sentences import sentence_at

FIGURES_HEADING = "Figures to verify"
FIGURES_NOTE = ("Not found in the interview, the follow-up answers or the attached documents: check each one "
                "before the document is approved.")
NO_FIGURES = "None: every figure in this document is in the interview, the follow-up answers or the attached documents."

_ANY_PERIOD = "*"
_PLAIN = "plain"  # a key: the number as written, for a bare number to be found as
_YEAR = "year"
_HAS_PLAIN_NUMBER = frozenset({NUMBER, COUNT, MONEY, DURATION, TIMES})

_NOT_FIGURES = re.compile(
    # at a line's start: the numbering of a heading ("## 4.", "## 4.2 Scope") or of a list item
    r"(?<![^\n])[ \t]*(?:#{1,6}[ \t]+(?:(?:section|part)\s+)?(?:\d+(?:\.\d+)*[.):](?=[ \t])|\d+(?:\.\d+)+(?=[ \t]+[A-Z]))"
    r"|(?:[-*+][ \t]+)?\d+(?:\.\d+)*[.)](?=[ \t]))"
    # at a word's start: FR-3, NFR-1.2, GPT-4, claude-sonnet-4-5; section numbers; standards; addresses
    r"|(?<!\w)(?=[A-Za-z§])(?:[A-Za-z][A-Za-z0-9]*(?:-[A-Za-z0-9]+)*-\d+(?:[.-]\d+)*\b"
    r"|(?:sections?|§)\s*\d+(?:\.\d+)*\b"
    r"|(?:ISO(?:/IEC)?|IEC|RFC|SOC|PCI[ -]DSS|TLS|HTTP|WCAG)[ -]?\d+(?:[.:-]\d+)*\b"
    r"|(?:https?|mailto|ftp):\S+)",
    re.IGNORECASE,
)
_NOT_NEWLINE = re.compile(r"[^\n]")
_TABLE_DIVIDER = re.compile(r"^[ \t]*\|?[ \t]*:?-{3,}:?[ \t]*(?:\|[ \t]*:?-{3,}:?[ \t]*)*\|?[ \t]*$")
# The unit a table's column heading gives its cells: "Occupancy (%)", "Rent (₹)", "Window (days)".
_TIME_UNITS = r"ms|s|secs?|seconds?|mins?|minutes?|h|hrs?|hours?|days?|weeks?|months?|years?"
_COLUMN_UNIT = re.compile(rf"\((?P<unit>%|[₹$€£]|Rs\.?|INR|USD|EUR|GBP|(?:{_TIME_UNITS})(?: (?:per|a) [a-z]+)?"
                          rf"|(?:per|a) [a-z]+)\)\s*$|(?P<percent>%)\s*$", re.IGNORECASE)
_PREFIX_UNITS = re.compile(r"[₹$€£]|Rs\.?|INR|USD|EUR|GBP", re.IGNORECASE)


def _year_of(value: object) -> int | None:
    if isinstance(value, Decimal) and value == value.to_integral() and 1900 <= value <= 2100:
        return int(value)
    return None


def _source_keys(reading: Reading) -> Iterator[tuple[object, ...]]:
    """What a source's reading supplies: itself with and without its period, its number as written
    (for a bare number), a dated day's looser forms, a year."""
    periods = (reading.period, _ANY_PERIOD) if reading.period else (_ANY_PERIOD,)
    for period in periods:
        yield reading.kind, reading.unit, reading.value, period
        if reading.kind in _HAS_PLAIN_NUMBER and reading.number is not None:
            yield _PLAIN, None, reading.number, period
    if isinstance(reading.value, tuple):
        year, month, day = reading.value
        if year is not None:
            yield DATE, None, (None, month, day), _ANY_PERIOD
            yield DATE, None, (year, month, None), _ANY_PERIOD
            yield _YEAR, None, year, _ANY_PERIOD
    elif reading.kind == NUMBER and (year := _year_of(reading.value)) is not None:
        yield _YEAR, None, year, _ANY_PERIOD


def _lookups(reading: Reading) -> Iterator[tuple[object, ...]]:
    """Where a document's reading may be found, in the keys of `_source_keys`."""
    period = reading.period or _ANY_PERIOD
    yield reading.kind, reading.unit, reading.value, period
    if reading.kind == NUMBER:
        yield _PLAIN, None, reading.value, period
        if reading.period is None and (year := _year_of(reading.value)) is not None:
            yield _YEAR, None, year, _ANY_PERIOD
    elif reading.kind in (COUNT, MONEY, ORDINAL):
        yield NUMBER, None, reading.number, period
    elif isinstance(reading.value, tuple):
        year, month, day = reading.value
        if year is not None and day is not None:
            yield DATE, None, (None, month, day), _ANY_PERIOD


@dataclass(frozen=True)
class Sources:
    """Every key the sources' figures supply."""

    keys: frozenset[tuple[object, ...]]

    def holds(self, figure: Figure) -> bool:
        """True when one of the figure's readings is in the sources."""
        return any(key in self.keys for reading in figure.readings for key in _lookups(reading))


def source_values(texts: Iterable[str]) -> Sources:
    """What the sources hold: every figure of every text, numbers in words and headings included."""
    return _source_values(tuple(texts))


def _read_sources(texts: Iterable[str]) -> Sources:
    return Sources(frozenset(key for text in texts for figure in read_figures(text)
                             for reading in figure.readings for key in _source_keys(reading)))


@functools.lru_cache(maxsize=4)  # both documents of a run look in the same sources
def _source_values(texts: tuple[str, ...]) -> Sources:
    return _read_sources(texts)


@functools.lru_cache(maxsize=4096)  # apart from the sources': a document's passages must not push them out
def _passage_values(passage: str) -> Sources:
    return _read_sources((passage,))


def _masked(text: str) -> str:
    """`text` with every non-figure blanked out, offsets kept."""
    return _NOT_FIGURES.sub(lambda match: _NOT_NEWLINE.sub(" ", match.group(0)), text)


def _is_prose(figure: Figure) -> bool:
    """One to nine in words, counting things: "two leads", "one of them" are not figures."""
    return figure.in_words and all(
        reading.kind in (NUMBER, COUNT, TIMES) and reading.period is None and isinstance(reading.value, Decimal)
        and reading.value < 10
        for reading in figure.readings)


def _column_units(text: str) -> dict[int, str]:
    """The unit each table cell takes from its column's heading, by the offset where the cell begins;
    only the cells of columns whose heading gives one."""
    units: dict[int, str] = {}
    lines = text.split("\n")
    offsets = [0]
    for line in lines:
        offsets.append(offsets[-1] + len(line) + 1)
    for index in range(1, len(lines)):
        if not _TABLE_DIVIDER.match(lines[index]) or "|" not in lines[index - 1]:
            continue
        headings = [_column_unit(cell) for cell in lines[index - 1].strip().strip("|").split("|")]
        if not any(headings):
            continue
        row = index + 1
        while row < len(lines) and lines[row].lstrip().startswith("|"):
            position = offsets[row] + lines[row].index("|") + 1
            for column, cell in enumerate(lines[row].strip().strip("|").split("|")):
                if column < len(headings) and headings[column]:
                    units[position] = headings[column]
                position += len(cell) + 1
            row += 1
    return units


def _column_unit(heading: str) -> str:
    found = _COLUMN_UNIT.search(heading)
    if found is None:
        return ""
    return "%" if found.group("percent") else found.group("unit")


def _in_unit(figure: Figure, unit: str) -> Figure:
    """A table cell's bare number read with its column's unit: "86" under "Occupancy (%)" is 86%."""
    if any(reading.kind != NUMBER or reading.period for reading in figure.readings):
        return figure
    written = figure.text
    if _PREFIX_UNITS.fullmatch(unit):
        virtual = f"{unit}{written}"
    else:
        virtual = f"{written}{'' if unit == '%' else ' '}{unit}"
    reread = read_figures(virtual)
    if len(reread) != 1 or reread[0].end != len(virtual):
        return figure
    return replace(figure, readings=reread[0].readings)


def document_figures(text: str) -> list[Figure]:
    """The figures of a document that are checked, in order."""
    scanned = _masked(text)
    units = _column_units(scanned) if "|" in scanned else {}
    cells = sorted(units)
    figures = []
    for figure in read_figures(scanned):
        if _is_prose(figure):
            continue
        at = bisect.bisect_right(cells, figure.start) - 1
        if at >= 0 and not any(mark in scanned[cells[at]:figure.start] for mark in "|\n"):
            figure = _in_unit(figure, units[cells[at]])
        figures.append(figure)
    return figures


@dataclass(frozen=True)
class Unsourced:
    """A figure found in none of the sources, with the sentence it appears in."""

    text: str
    sentence: str


Cited = Mapping[tuple[int, int], Sequence[str]]


def unsourced_figures(document: str, sources: Sources, cited: Cited | None = None) -> list[Unsourced]:
    """The document's figures found in none of the sources, each listed once, in order.

    `cited` maps spans of `document` (start and end offsets, usually a sentence's) to the words the
    service cited for them, verified against the sources: a figure inside such a span is looked up in
    its cited words first, and in all the sources only when they do not hold it.
    """
    listed: dict[str, Unsourced] = {}
    spans = sorted((cited or {}).items())
    following = 0  # the spans before it begin before the figure at hand (figures come in order)
    open_spans: list[tuple[tuple[int, int], Sequence[str]]] = []
    for figure in document_figures(document):
        while following < len(spans) and spans[following][0][0] <= figure.start:
            open_spans.append(spans[following])
            following += 1
        open_spans = [span for span in open_spans if span[0][1] > figure.start]
        shown = " ".join(figure.text.split())
        if shown in listed:
            continue
        passages = (passage for _, passages in open_spans for passage in passages)
        if any(_passage_values(passage).holds(figure) for passage in passages) or sources.holds(figure):
            continue
        listed[shown] = Unsourced(shown, sentence_at(document, figure.start))
    return list(listed.values())


def figures_section(unsourced: list[Unsourced]) -> str:
    """The "Figures to verify" section: each figure with the sentence it appears in."""
    if not unsourced:
        return f"## {FIGURES_HEADING}\n\n{NO_FIGURES}\n"
    entries = "\n".join(f"- **{item.text}**: \u201c{item.sentence}\u201d" for item in unsourced)
    return f"## {FIGURES_HEADING}\n\n{FIGURES_NOTE}\n\n{entries}\n"
