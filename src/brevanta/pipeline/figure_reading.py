"""The figures of a text, each read as its value and its kind, so that a figure is compared only with
figures of the same kind: `30-minute` is not `30%`, `3 nurses` is not `3 February`, `60 an hour` is
not `60 a day`.

The kinds, with what a reading holds as its unit and its value:

- percent: "86%", "86 per cent", "ninety-nine percent";
- money: the currency and the amount ("₹2 lakh", "two lakh rupees", "$1.2m", "Rs. 5000");
- duration: "s" (milliseconds to weeks, in seconds) or "month" (months and years, in months):
  "30-minute", "800 ms", "a minute", "half an hour", "1 year" = "12 months";
- count: the noun it counts, lower case and singular ("3 nurses", "a 14-person team" = "14 people");
- date: (year or None, month, day or None), however written ("15 May", "May 15th", "2025-05-15");
- time: minutes after midnight ("9 pm" = "21:00", "noon" = "12:00", "midnight" = "00:00");
- ordinal ("95th"), times ("2x", "10 times"), always ("24/7" = "24x7");
- number: a bare number, with neither unit nor noun ("under 18", "Pune (9, 720)").

Any of them may also be a rate, by its period: "60 a day", "₹9,500 per bed per month", "500/day",
"60 conversations daily". In a range ("2-6 months", "30-40%", "₹9,500 to ₹24,000") an end written
without its unit takes the other's. Numbers are read in digits with any grouping ("15,000",
"1,50,000", "15k", "1.2 million", "35 lakh") and in words.
"""

from __future__ import annotations

import re
from collections.abc import Iterator
from dataclasses import dataclass, replace
from decimal import Decimal, InvalidOperation
from typing import NamedTuple

from brevanta.pipeline import number_words

PERCENT, MONEY, DURATION, COUNT, DATE, TIME = "percent", "money", "duration", "count", "date", "time"
ORDINAL, TIMES, ALWAYS, NUMBER = "ordinal", "times", "always", "number"


DateValue = tuple[int | None, int, int | None]  # year, month, day; the year or the day may be missing


class Reading(NamedTuple):
    """One thing a figure may stand for."""

    kind: str
    unit: str | None  # the currency, the duration's measure, the counted noun
    value: Decimal | DateValue  # a date's (year, month, day); a time's minutes after midnight
    period: str | None  # a rate's period: "hour", "day", "week", "month", "year"
    number: Decimal | None  # the number as written (scaled): what a bare number is compared with


@dataclass(frozen=True)
class Figure:
    """A figure as written (with its unit, noun or period), where it stands, and its readings."""

    text: str
    start: int
    end: int
    readings: frozenset[Reading]
    in_words: bool = False


_MONTHS = {name: number for number, names in enumerate(
    (("january", "jan"), ("february", "feb"), ("march", "mar"), ("april", "apr"), ("may",), ("june", "jun"),
     ("july", "jul"), ("august", "aug"), ("september", "sep", "sept"), ("october", "oct"),
     ("november", "nov"), ("december", "dec")), start=1) for name in names}
# Capitalised only: "may" and "march" are words too.
_MONTH = (r"(?:Jan|Feb|Mar|Apr|Jun|Jul|Aug|Sept?|Oct|Nov|Dec)\.?"
          r"|January|February|March|April|May|June|July|August|September|October|November|December")
_DIGITS = r"\d{1,3}(?:,\d{2,3})+(?:\.\d+)?|\d+(?:\.\d+)?"
_CURRENCY_SIGNS = {"₹": "INR", "rs": "INR", "rs.": "INR", "inr": "INR", "rupee": "INR", "rupees": "INR",
                   "$": "USD", "us$": "USD", "usd": "USD", "dollar": "USD", "dollars": "USD",
                   "€": "EUR", "eur": "EUR", "euro": "EUR", "euros": "EUR",
                   "£": "GBP", "gbp": "GBP", "pound": "GBP", "pounds": "GBP"}
_PERIODS = {"second": "second", "sec": "second", "minute": "minute", "min": "minute", "hour": "hour",
            "hr": "hour", "h": "hour", "day": "day", "d": "day", "night": "day", "week": "week", "wk": "week",
            "month": "month", "mo": "month", "year": "year", "yr": "year", "annum": "year",
            "hourly": "hour", "daily": "day", "nightly": "day", "weekly": "week", "monthly": "month",
            "yearly": "year", "annually": "year", "annual": "year"}
# A duration's unit: its measure and how many of the measure's base it is.
_DURATIONS = {unit: (measure, Decimal(factor)) for unit, measure, factor in (
    ("ms", "s", "0.001"), ("millisecond", "s", "0.001"), ("s", "s", "1"), ("sec", "s", "1"), ("second", "s", "1"),
    ("min", "s", "60"), ("minute", "s", "60"), ("h", "s", "3600"), ("hr", "s", "3600"), ("hour", "s", "3600"),
    ("day", "s", "86400"), ("week", "s", "604800"), ("wk", "s", "604800"),
    ("month", "month", "1"), ("mo", "month", "1"), ("year", "month", "12"), ("yr", "month", "12"))}
# The scale words ("15 thousand", "35 lakh") and their abbreviations ("15k", "2cr").
_SHORT_SCALES = {"k": 1000, "mn": 1_000_000, "m": 1_000_000, "bn": 1_000_000_000, "cr": 10_000_000}
_SCALES = {**number_words.SCALES, **_SHORT_SCALES}

# Where a figure begins: alternatives that start with a digit, with a currency sign, or at the start of
# a word, each group guarded by its first character so that the scan passes over every other position
# at once. Within a group, the alternatives are in order of precedence; each names its kind.
_START = re.compile(
    rf"(?=\d)(?:"
    rf"(?P<iso>(?<![\w.])(?P<iso_y>\d{{4}})-(?P<iso_m>\d{{1,2}})-(?P<iso_d>\d{{1,2}})(?![\w-]))"
    rf"|(?P<slash>(?<![\w./])(?P<slash_a>\d{{1,2}})(?P<slash_sep>[/.])(?P<slash_b>\d{{1,2}})(?P=slash_sep)"
    rf"(?P<slash_y>\d{{4}}|\d{{2}})(?![\w/]))"
    rf"|(?P<always>(?<![\w/.,])24\s?[x×/]\s?7(?:\s?[x×/]\s?365)?(?![\w/]))"
    rf"|(?P<clock>(?<![\w.:,])(?P<clock_h>\d{{1,2}}):(?P<clock_min>\d{{2}})(?![\d:]))"
    rf"|(?P<digits>(?<![\w.,/:])(?:{_DIGITS})(?!\d|,\d)))"
    rf"|(?=[₹$€£RIUEG])(?P<money>(?P<money_cur>₹|US\$|\$|€|£|(?<![A-Za-z])(?:Rs\.?|INR|USD|EUR|GBP)(?![A-Za-z]))\s?"
    rf"(?P<money_n>{_DIGITS})(?!\d|,\d))"
    rf"|(?<!\w)(?=[A-Za-z])(?:"
    rf"(?P<month>(?P<month_m>{_MONTH})\s+(?:(?P<month_d>\d{{1,2}})(?:st|nd|rd|th)?(?![\d:,]\d)"
    rf"(?:,?\s+(?P<month_y>\d{{4}}))?|(?P<month_year>\d{{4}}))(?![\w:]))"
    rf"|(?P<named>(?i:noon|midnight)(?!\w))"
    rf"|(?P<one>(?:(?i:within|in|under|after|for|than|over|about)\s+(?P<one_n>(?i:an?))|(?P<one_half>(?i:half))"
    rf"\s+(?i:an?))\s+(?P<one_unit>(?i:second|minute|hour|day|week|month|year))(?!\w))"
    rf"|(?P<words>(?i:{number_words.START}))"
    rf"|(?P<twice>(?i:twice|thrice)(?!\w)))"
)
# What may follow a number, each tried where the number ends.
_DAY_MONTH = re.compile(rf"(?:st|nd|rd|th)?\s+(?:of\s+)?(?P<m>{_MONTH})(?:,?\s+(?P<y>\d{{4}}))?(?![\w:])")
_AMPM = re.compile(r"\s?(?P<half>[ap])(?:\.m\.|m\b)", re.IGNORECASE)
_NOON = re.compile(r"\s(?P<name>noon|midnight)\b", re.IGNORECASE)
# "9 in the morning" is 9 am; "11 at night" 11 pm, "2 at night" 2 am.
_DAYPART = re.compile(r"\s+(?:in\s+the\s+(?P<a>morning)|in\s+the\s+(?P<p>afternoon|evening)|at\s+(?P<night>night))\b",
                      re.IGNORECASE)
_SCALE = re.compile(rf"\s?(?P<word>{'|'.join(number_words.SCALES)})\b|(?P<short>{'|'.join(_SHORT_SCALES)})(?![A-Za-z])",
                    re.IGNORECASE)
_CURRENCY_AFTER = re.compile(r"\s?(?P<cur>rupees?|dollars?|euros?|pounds?|INR|USD|EUR|GBP)\b", re.IGNORECASE)
_PERCENT = re.compile(r"\s?(?:%|per\s?cent\b|percent\b)", re.IGNORECASE)
_ORDINAL = re.compile(r"(?:st|nd|rd|th)(?![A-Za-z])", re.IGNORECASE)
_TIMES = re.compile(r"\s?[x×](?![\w])|\s+times\b", re.IGNORECASE)
_DURATION = re.compile(
    r"(?:[ \t]?-?[ \t]?)(?P<long>milliseconds?|seconds?|minutes?|hours?|days?|weeks?|months?|years?)\b"
    r"|[ \t]?(?P<short>ms|secs?|s|mins?|hrs?|h|wks?|mos?|yrs?)(?![A-Za-z])", re.IGNORECASE)
_HYPHEN_NOUN = re.compile(r"-(?P<noun>[A-Za-z]+)\b")
# Units written against the number ("16GB", "100Mbps", "4vCPUs"): what they count.
_GLUED_UNIT = re.compile(r"(?P<unit>[kmgtp]b|[kmg]bps|[kmg]hz|rps|qps|tps|rpm|[cgv]?cpus?|gpus?)(?![A-Za-z])",
                         re.IGNORECASE)
_NOUN_WORD = re.compile(r"[ \t]+(?P<word>[A-Za-z][A-Za-z'’]*(?:-[A-Za-z]+)*)")
_PERIOD_WORDS = "|".join(sorted({*_PERIODS} - {"hourly", "daily", "nightly", "weekly", "monthly", "yearly",
                                               "annually", "annual"}, key=len, reverse=True))
_PERIOD = re.compile(
    rf"\s*(?:(?:per|a|an|each|every)\s+(?:[A-Za-z]+\s+per\s+)?|/\s*)(?P<p>{_PERIOD_WORDS})s?(?![A-Za-z])"
    rf"|\s+(?P<adj>hourly|daily|nightly|weekly|monthly|yearly|annually)\b",
    re.IGNORECASE)
_RANGE = re.compile(r"\s?(?:-|–|—|to|or)\s?|\s+and\s+", re.IGNORECASE)
_BETWEEN = re.compile(r"\bbetween\s+(?:[₹$€£]|Rs\.?\s?)?\Z", re.IGNORECASE)
_TIMES_WORDS = {"twice": 2, "thrice": 3}

# Words that end a counted noun, and words before the noun that are not what is counted.
_STOP_WORDS = frozenset(
    "a an the of in on at to for from by with within without and or but nor is are was were be been being "
    "per each every than as into onto over under up down out off about around across after before between "
    "during via vs that which who whom whose this these those it its their our your my his her we they you "
    "he she if when while so not no only also more less fewer most least then there here than such same "
    "will would can could should may might must shall do does did has have had".split())
_NOT_NOUNS = frozenset(
    "new other extra additional active concurrent unique total different separate full first last next main "
    "major minor key core open current existing typical average maximum minimum max min possible matching "
    "further old young big large small free paid inbound outbound more".split())
_IRREGULAR = {"people": "person", "persons": "person", "children": "child", "men": "man", "women": "woman",
              "staff": "staff", "data": "data", "feet": "foot", "teeth": "tooth", "mice": "mouse"}
_SINGULAR_IN_S = frozenset("status campus bonus virus focus census corpus bus plus basis analysis axis thesis "
                           "crisis series news gas lens".split())


def noun(word: str) -> str:
    """A counted noun folded: lower case, singular ("Properties" -> "property", "people" -> "person")."""
    word = word.lower().replace("’", "'").removesuffix("'s")
    if word in _IRREGULAR:
        return _IRREGULAR[word]
    if len(word) > 4 and word.endswith("ies"):
        return word[:-3] + "y"
    if len(word) > 4 and word.endswith(("sses", "ches", "shes", "xes", "zes")):
        return word[:-2]
    if len(word) > 3 and word.endswith("s") and not word.endswith("ss") and word not in _SINGULAR_IN_S:
        return word[:-1]
    return word


def _decimal(text: str) -> Decimal | None:
    try:
        return Decimal(text.replace(",", ""))
    except InvalidOperation:
        return None


def _normal(value: Decimal) -> Decimal:
    normal = value.normalize()
    return Decimal(int(normal)) if normal == normal.to_integral_value() else normal


def _year(text: str | None) -> int | None:
    if not text:
        return None
    year = int(text)
    return year + 2000 if year < 100 else year


def _date(year: int | None, month: int, day: int | None) -> Reading | None:
    if not 1 <= month <= 12 or day is not None and not 1 <= day <= 31:
        return None
    return Reading(DATE, None, (year, month, day), None, None)


def _month(text: str) -> int:
    return int(text) if text.isdigit() else _MONTHS.get(text.rstrip(".").lower(), 0)


def _times_of_day(hour: int, minutes: int, half: str) -> set[Reading]:
    """"9 pm" is 21:00; "9:00" without am or pm may be either."""
    if hour > 23 or minutes > 59 or half and not 1 <= hour <= 12:
        return set()
    hours = [hour % 12 + (12 if half == "p" else 0)] if half else [hour, hour + 12] if 0 < hour < 12 else [hour]
    return {Reading(TIME, None, Decimal(h * 60 + minutes), None, None) for h in hours}


@dataclass
class _Number:
    """A number being read: its amount(s), and what has been found after it."""

    start: int
    end: int  # where the figure read so far ends
    amounts: list[Decimal]
    in_words: bool = False
    currency: str | None = None
    ambiguous_m: bool = False  # "5m": five million, or five minutes


def _number_at(match: re.Match[str], text: str) -> _Number | None:
    """The number a `digits`, `money` or `words` match starts, with its scale ("15k", "35 lakh")."""
    if match.lastgroup == "words":
        read = number_words.read(text, match.start())
        if read is None:
            return None
        return _Number(match.start(), read[1], [Decimal(read[0])], in_words=True)
    digits = match.group("money_n") if match.lastgroup == "money" else match.group(0)
    value = _decimal(digits)
    if value is None:
        return None
    number = _Number(match.start(), match.end(), [value])
    if match.lastgroup == "money":
        number.currency = _CURRENCY_SIGNS.get(match.group("money_cur").lower(), match.group("money_cur").upper())
    scale = _SCALE.match(text, number.end)
    if scale:
        factor = _SCALES[(scale.group("word") or scale.group("short")).lower()]
        number.ambiguous_m = (scale.group("short") or "").lower() == "m" and number.currency is None
        number.amounts = [value * factor]
        number.end = scale.end()
    return number


def _period_at(text: str, position: int) -> tuple[str | None, int]:
    found = _PERIOD.match(text, position)
    if found is None:
        return None, position
    word = (found.group("p") or found.group("adj")).lower()
    return _PERIODS.get(word.rstrip("s") if word not in _PERIODS else word), found.end()


def _counted(text: str, position: int) -> tuple[set[str], str | None, int]:
    """The noun phrase after a number (up to three words, to the first stop word): the nouns it may
    count, a period written as an adjective ("monthly enquiries"), and where it ends."""
    hyphened = _HYPHEN_NOUN.match(text, position)
    if hyphened:  # "a 14-person team"
        word = hyphened.group("noun").lower()
        return ({noun(word)} if word not in _STOP_WORDS else set()), None, hyphened.end()
    nouns: set[str] = set()
    period, end = None, position
    for _ in range(3):
        found = _NOUN_WORD.match(text, end)
        if found is None:
            break
        word = found.group("word").lower()
        if word in _STOP_WORDS or _MONTHS.get(word) and found.group("word")[0].isupper():
            break
        if word in _PERIODS and word.endswith("ly") or word == "annual":
            period = _PERIODS[word]
        elif word not in _NOT_NOUNS:
            nouns.add(noun(word))
        end = found.end()
    return (nouns, period, end) if nouns else (set(), period, end if period else position)


def _amount_readings(number: _Number, text: str) -> tuple[set[Reading], int]:
    """Every reading of a number that is neither a date nor a time of day, and where the figure ends."""
    end = number.end
    readings: set[Reading] = set()
    amounts = [_normal(amount) for amount in number.amounts]
    written = amounts[0]
    currency = number.currency
    after = _CURRENCY_AFTER.match(text, end) if currency is None else None
    if after:
        currency, end = _CURRENCY_SIGNS[after.group("cur").lower()], after.end()
    if currency is not None:
        period, end = _period_at(text, end)
        return {Reading(MONEY, currency, amount, period, amount) for amount in amounts}, end
    if (percent := _PERCENT.match(text, end)) is not None:
        period, end = _period_at(text, percent.end())
        return {Reading(PERCENT, None, written, period, None)}, end
    if (times := _TIMES.match(text, end)) is not None:
        period, end = _period_at(text, times.end())
        return {Reading(TIMES, None, written, period, written)}, end
    duration = _DURATION.match(text, end) if not number.ambiguous_m else None
    if duration is not None:
        unit = (duration.group("long") or duration.group("short")).lower()
        unit = unit if unit in _DURATIONS else unit.rstrip("s")
        measure, factor = _DURATIONS[unit]
        period, end = _period_at(text, duration.end())
        return {Reading(DURATION, measure, _normal(written * factor), period, written)}, end
    if number.ambiguous_m:  # "5m" alone: five minutes, or five million
        readings.add(Reading(DURATION, "s", _normal(amounts[0] / 1_000_000 * 60), None, None))
    glued = _GLUED_UNIT.match(text, end)
    nouns, period, end = ({noun(glued.group("unit"))}, None, glued.end()) if glued else _counted(text, end)
    if period is None:
        period, end = _period_at(text, end)
    if nouns:
        readings |= {Reading(COUNT, name, written, period, written) for name in nouns}
    else:
        readings.add(Reading(NUMBER, None, written, period, written))
    return readings, end


def _digits_figure(match: re.Match[str], text: str) -> tuple[set[Reading], int] | None:
    """The readings of a number in digits or words, and where its figure ends."""
    number = _number_at(match, text)
    if number is None:
        return None
    end = number.end
    whole = number.amounts[0]
    small_integer = not number.in_words and whole == whole.to_integral() and "," not in match.group(0)
    if small_integer and number.currency is None and end == match.end():
        if whole <= 31 and (day := _DAY_MONTH.match(text, end)) is not None:
            reading = _date(_year(day.group("y")), _month(day.group("m")), int(whole))
            return ({reading} if reading else set()), day.end()
        if whole <= 12 and (noon := _NOON.match(text, end)) is not None:
            return {_named_time(noon.group("name"))}, noon.end()
        if (half := _AMPM.match(text, end)) is not None:
            return _times_of_day(int(whole), 0, half.group("half").lower()), half.end()
        if 1 <= whole <= 12 and (part := _DAYPART.match(text, end)) is not None:
            evening = part.group("p") or part.group("night") and 6 <= whole <= 11
            return _times_of_day(int(whole), 0, "p" if evening else "a"), part.end()
        if (ordinal := _ORDINAL.match(text, end)) is not None:
            return {Reading(ORDINAL, None, _normal(whole), None, _normal(whole))}, ordinal.end()
    clock = re.fullmatch(r"(\d{1,2})\.(\d{2})", match.group(0))
    if clock and number.currency is None and (half := _AMPM.match(text, end)) is not None:  # "9.30 pm"
        return _times_of_day(int(clock.group(1)), int(clock.group(2)), half.group("half").lower()), half.end()
    if number.in_words and _NOON.match(text, end) is not None:
        return None  # "twelve noon": the time is read from "noon"
    return _amount_readings(number, text)


def _other_figure(match: re.Match[str], text: str) -> tuple[set[Reading], int] | None:
    """The readings of a date, a time of day, "24/7", "a minute" or "twice", and where it ends."""
    kind = match.lastgroup
    group = match.group
    if kind == "iso":
        reading = _date(int(group("iso_y")), int(group("iso_m")), int(group("iso_d")))
        return ({reading} if reading else set()), match.end()
    if kind == "slash":
        first, second, year = int(group("slash_a")), int(group("slash_b")), _year(group("slash_y"))
        dates = (_date(year, second, first), _date(year, first, second))
        return {reading for reading in dates if reading is not None}, match.end()
    if kind == "month":
        day = group("month_d")
        year = _year(group("month_y") or group("month_year"))
        reading = _date(year, _month(group("month_m")), int(day) if day else None)
        return ({reading} if reading else set()), match.end()
    if kind == "clock":
        half = _AMPM.match(text, match.end())
        readings = _times_of_day(int(group("clock_h")), int(group("clock_min")),
                                 half.group("half").lower() if half else "")
        return readings, half.end() if half else match.end()
    if kind == "named":
        return {_named_time(group(0))}, match.end()
    if kind == "always":
        return {Reading(ALWAYS, None, Decimal(1), None, None)}, match.end()
    if kind == "one":
        measure, factor = _DURATIONS[group("one_unit").lower()]
        amount = Decimal("0.5") if group("one_half") else Decimal(1)
        return {Reading(DURATION, measure, _normal(amount * factor), None, None)}, match.end()
    if kind == "twice":
        value = Decimal(_TIMES_WORDS[group(0).lower()])
        return {Reading(TIMES, None, value, None, value)}, match.end()
    return None


def _read(text: str) -> Iterator[Figure]:
    """Every figure of `text` in order, before ranges are joined."""
    position = 0
    while (match := _START.search(text, position)) is not None:
        if match.lastgroup in ("digits", "money", "words"):
            found = _digits_figure(match, text)
            # "99acres", "4G", "1.2.3": a number glued to letters or to a further number is a name
            if found is not None and match.lastgroup != "words" and _glued(text, found[1]):
                found = None
        else:
            found = _other_figure(match, text)
        start = match.start("one_n") if match.lastgroup == "one" and match.group("one_n") else match.start()
        if found is None or not found[0]:
            position = match.end()
            continue
        readings, end = found
        yield Figure(text[start:end], start, end, frozenset(readings), match.lastgroup in ("words", "twice"))
        position = max(end, match.end())


def _glued(text: str, end: int) -> bool:
    return end < len(text) and (text[end].isalpha() or text[end] in ".," and end + 1 < len(text)
                                and text[end + 1].isdigit())


def _named_time(name: str) -> Reading:
    return Reading(TIME, None, Decimal(720 if name.lower() == "noon" else 0), None, None)


def _unitless(figure: Figure) -> bool:
    return all(reading.kind == NUMBER and reading.period is None for reading in figure.readings)


def _amount(figure: Figure) -> Decimal:
    """The amount of a figure without a unit."""
    value = next(iter(figure.readings)).value
    assert isinstance(value, Decimal)  # a bare number's
    return value


def _period_missing(first: Figure, second: Figure) -> bool:
    """True when a range's ends have one unit and only the second its period."""
    if len(first.readings) != 1 or len(second.readings) != 1:
        return False
    (one,), (other,) = first.readings, second.readings
    return (one.kind, one.unit) == (other.kind, other.unit) and one.period is None and other.period is not None


def _ranged(first: Figure, second: Figure, text: str) -> tuple[Figure, Figure]:
    """The two ends of a range ("2-6 months", "30-40%", "19 to 28"), the one without a unit given the
    other's, both shown as the whole range."""
    shown = text[first.start:second.end]
    if _period_missing(first, second):  # "₹9,500 to ₹24,000 a month": both a month
        period = next(iter(second.readings)).period
        return replace(first, readings=frozenset(reading._replace(period=period) for reading in first.readings)), second
    if _unitless(first) and not _unitless(second):
        amount = _amount(first)
        first = replace(first, readings=frozenset(_with_amount(reading, amount) for reading in second.readings))
    elif _unitless(second) and not _unitless(first):
        amount = _amount(second)
        second = replace(second, readings=frozenset(_with_amount(reading, amount) for reading in first.readings))
    else:
        return first, second
    return replace(first, text=shown), replace(second, text=shown)


def _with_amount(reading: Reading, amount: Decimal) -> Reading:
    """`reading` for another amount of the same unit (a range's other end)."""
    bare = Reading(NUMBER, None, amount, None, amount)
    if isinstance(reading.value, tuple):  # "3-5 May"
        year, month, _ = reading.value
        day = int(amount) if amount == amount.to_integral_value() else 0
        return _date(year, month, day) or bare
    if reading.kind == DURATION and reading.number:
        return reading._replace(value=_normal(reading.value / reading.number * amount), number=amount)
    if reading.kind in (TIME, ALWAYS):
        return bare
    return reading._replace(value=amount, number=amount if reading.number is not None else None)


def read_figures(text: str) -> list[Figure]:
    """The figures of `text`, in order, each with every reading it may have."""
    figures = list(_read(text))
    for index in range(len(figures) - 1):
        first, second = figures[index], figures[index + 1]
        between = _RANGE.fullmatch(text, first.end, second.start)
        if between is not None and ("and" not in between.group(0).lower()
                                    or _BETWEEN.search(text, max(0, first.start - 12), first.start)):
            figures[index], figures[index + 1] = _ranged(first, second, text)
    return figures
