"""Real files of each kind the readers take, each made by its own tool: python-docx, fpdf2 (with a
DejaVu font for text beyond Latin-1), and WebVTT and SRT written out as the meeting tools write them."""

from __future__ import annotations

import io
from pathlib import Path

import pytest

FONT_DIR = Path("/usr/share/fonts/truetype/dejavu")
FONT = FONT_DIR / "DejaVuSans.ttf"

# The same call, for the comparison of every kind: two speakers, non-ASCII text, figures.
TURNS = [
    ("Priya Nair", "Thanks for joining. How many calls does the front desk take?"),
    ("Dr Anaya Rao", "About 400 a day across three clinics; at peak hours 30% go unanswered."),
    ("Dr Anaya Rao", "Patients want to book, move or cancel without waiting on hold."),
    ("Priya Nair", "Which languages should the agent speak?"),
    ("Dr Anaya Rao", "English, Hindi and Marathi. A consultation costs ₹500, and the café crowd says “the clinic”."),
]


def docx_bytes(blocks: list[tuple[str, object]]) -> bytes:
    """blocks: ("title" | "h1" | "h2" | "p" | "bullet" | "number", text) or ("table", rows)."""
    import docx

    document = docx.Document()
    for kind, content in blocks:
        if kind == "table":
            rows = list(content)  # type: ignore[call-overload]
            table = document.add_table(rows=len(rows), cols=len(rows[0]))
            for row, values in zip(table.rows, rows):
                for cell, value in zip(row.cells, values):
                    cell.text = value
        elif kind == "title":
            document.add_heading(str(content), 0)
        elif kind in ("h1", "h2"):
            document.add_heading(str(content), int(kind[1]))
        elif kind == "bullet":
            document.add_paragraph(str(content), style="List Bullet")
        elif kind == "number":
            document.add_paragraph(str(content), style="List Number")
        else:
            document.add_paragraph(str(content))
    out = io.BytesIO()
    document.save(out)
    return out.getvalue()


def pdf_bytes(pages: list[list[str]], *, ascii_only: bool = False) -> bytes:
    """One page per list of lines, each line short enough to stay one line."""
    from fpdf import FPDF

    pdf = FPDF()
    pdf.set_auto_page_break(False)
    if ascii_only:
        pdf.set_font("Helvetica", size=11)
    else:
        if not FONT.exists():
            pytest.skip("the DejaVu fonts (fonts-dejavu-core) are not installed")
        pdf.add_font("DejaVu", "", str(FONT))
        pdf.set_font("DejaVu", size=11)
    for lines in pages:
        pdf.add_page()
        for line in lines:
            pdf.cell(0, 7, line, new_x="LMARGIN", new_y="NEXT")
    return bytes(pdf.output())


def _stamp(seconds: float, separator: str) -> str:
    whole = int(seconds)
    return f"{whole // 3600:02d}:{whole // 60 % 60:02d}:{whole % 60:02d}{separator}{round(seconds % 1 * 1000):03d}"


def vtt_text(cues: list[tuple[float, float, str | None, str]]) -> str:
    """A WebVTT file as Teams writes it: each cue's speaker in a voice tag."""
    blocks = ["WEBVTT"]
    for number, (start, end, speaker, text) in enumerate(cues, 1):
        said = f"<v {speaker}>{text}</v>" if speaker else text
        blocks.append(f"{number}\n{_stamp(start, '.')} --> {_stamp(end, '.')}\n{said}")
    return "\n\n".join(blocks) + "\n"


def srt_text(cues: list[tuple[float, float, str | None, str]]) -> str:
    """An SRT file as subtitles name speakers: "Name:" in the text."""
    blocks = []
    for number, (start, end, speaker, text) in enumerate(cues, 1):
        said = f"{speaker}: {text}" if speaker else text
        blocks.append(f"{number}\n{_stamp(start, ',')} --> {_stamp(end, ',')}\n{said}")
    return "\n\n".join(blocks) + "\n"


def interview_files() -> dict[str, bytes]:
    """TURNS as Markdown, Word, PDF and WebVTT, each laid out as that kind lays out a call."""
    markdown = "\n\n".join(f"**{speaker}:** {text}" for speaker, text in TURNS) + "\n"
    word = docx_bytes([("p", f"{speaker}: {text}") for speaker, text in TURNS])
    lines: list[str] = []
    for speaker, text in TURNS:
        words, line = f"{speaker}: {text}".split(), ""
        for word_ in words:  # wrapped by hand at a width the page holds
            if len(line) + len(word_) > 60:
                lines.append(line)
                line = ""
            line = f"{line} {word_}".strip()
        lines.append(line)
    pdf = pdf_bytes([lines])
    vtt = vtt_text([(index * 6.0, index * 6.0 + 5.5, speaker, text) for index, (speaker, text) in enumerate(TURNS)])
    return {"call.md": markdown.encode(), "call.docx": word, "call.pdf": pdf, "call.vtt": vtt.encode()}
