"""Call transcripts, WebVTT and SRT (read by webvtt-py): one passage per turn of a speaker.

A cue's speaker is its voice tag (`<v Dr Rao>`) or a leading "Name:" in its text; a cue without one
goes on with the speaker before it, as subtitles name a speaker only when the speaker changes. A
speaker's consecutive cues make one passage, written "[00:12:04] Dr Rao: words", and marked
"00:12:04, Dr Rao". Cues with no speaker at all are cut into passages of a minute, so that their
times still say where a sentence was said.
"""

from __future__ import annotations

import html
import io
import re
from collections import Counter
from dataclasses import dataclass, field

from brevanta.pipeline.readers.source import Mark, SourceProblem, SourceText, TextBuilder, clock

UNNAMED_PASSAGE_SECONDS = 60.0

_VOICE = re.compile(r"<v(?:\.[\w-]+)*[ \t]+([^>]+)>")
# "Dr Rao:", "Speaker 2:", "- Anaya:" or ">> ANAYA RAO:" opening a line: up to four words, each
# capitalised or a number after the first.
_NAME_PREFIX = re.compile(
    r"^(?:-|>>)?\s*((?:[^\W\d_][\w.'’-]*)(?:[ \t]+(?:[^\W\d_][\w.'’-]*|\d+)){0,3})[ \t]*:[ \t]+(?=\S)")
_SPACES = re.compile(r"\s+")
# The head this reader writes before each passage: its time and, when known, its speaker.
PASSAGE_HEAD = re.compile(r"^\[\d{2,}:\d{2}:\d{2}\] (?:[^\n:\[\]]{1,80}: )?", re.MULTILINE)


@dataclass
class _Line:
    seconds: float
    voice: str | None
    text: str


@dataclass
class _Passage:
    seconds: float
    speaker: str | None
    pieces: list[str] = field(default_factory=list)


def looks_like_srt(text: str) -> bool:
    lines = text.lstrip("\ufeff \t\r\n").split("\n", 2)
    return len(lines) >= 2 and lines[0].strip().isdigit() and "-->" in lines[1]


def looks_like_webvtt(text: str) -> bool:
    head = text.lstrip("\ufeff")
    return head.startswith("WEBVTT") and head[6:7] in ("", " ", "\t", "\n", "\r")


def _cue_lines(text: str, fmt: str, name: str) -> list[_Line]:
    import webvtt
    from webvtt.errors import MalformedCaptionError, MalformedFileError

    what = "WebVTT" if fmt == "vtt" else "SRT"
    try:
        captions = webvtt.WebVTT.from_buffer(io.StringIO(text.lstrip("\ufeff \t\r\n")), format=fmt).captions
    except (MalformedFileError, MalformedCaptionError, ValueError) as exc:
        raise SourceProblem(name, f"is not a readable {what} transcript ({exc})") from None
    lines: list[_Line] = []
    for caption in captions:
        seconds = caption.start_time.in_milliseconds() / 1000
        for raw in caption.lines:
            voice = _VOICE.match(raw.lstrip())
            plain = _SPACES.sub(" ", html.unescape(_strip_tags(raw)) if fmt == "vtt" else _strip_tags(raw)).strip()
            if plain:
                lines.append(_Line(seconds, voice.group(1).strip() if voice else None, plain))
    return lines


def _strip_tags(line: str) -> str:
    """The cue text without its tags (<v ...>, <i>, <00:01.000>); a "<" with no ">" after it is text."""
    pieces, position = [], 0
    while (opening := line.find("<", position)) >= 0 and (closing := line.find(">", opening)) >= 0:
        pieces.append(line[position:opening])
        position = closing + 1
    pieces.append(line[position:])
    return "".join(pieces)


def _named_speakers(lines: list[_Line]) -> set[str]:
    """Names that open two lines or more, or of two words or more ("Priya Nair"): a speaker, not a
    single word said once before a colon ("Question: ...")."""
    uses = Counter(match.group(1) for line in lines if line.voice is None
                   if (match := _NAME_PREFIX.match(line.text)))
    return {name for name, count in uses.items() if count >= 2 or " " in name or "\t" in name}


def _passages(lines: list[_Line]) -> list[_Passage]:
    speakers = _named_speakers(lines)
    passages: list[_Passage] = []
    speaker: str | None = None
    for line in lines:
        text = line.text
        if line.voice is not None:
            speaker = line.voice
        elif speakers and (match := _NAME_PREFIX.match(text)) and match.group(1) in speakers:
            speaker, text = match.group(1), text[match.end():]
        current = passages[-1] if passages else None
        if current is not None and current.speaker == speaker and (
                speaker is not None or line.seconds - current.seconds < UNNAMED_PASSAGE_SECONDS):
            if current.pieces[-1] != text:  # rolling captions repeat the line before
                current.pieces.append(text)
        else:
            passages.append(_Passage(line.seconds, speaker, [text]))
    return passages


def read_transcript(data: bytes, name: str, text: str, fmt: str) -> SourceText:
    """`text`: the file decoded; `fmt`: "vtt" or "srt"."""
    passages = TextBuilder(name)
    for passage in _passages(_cue_lines(text, fmt, name)):
        said = " ".join(passage.pieces)
        line = f"[{clock(passage.seconds)}] {passage.speaker}: {said}" if passage.speaker else \
            f"[{clock(passage.seconds)}] {said}"
        passages.add(line, lambda start: Mark.for_passage(start, passage.seconds, passage.speaker))
    if not passages:
        raise SourceProblem(name, "holds no text: its cues are empty")
    return passages.source("transcript", len(data))
