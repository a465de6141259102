"""The readers on large real inputs, against reading the same text as a plain UTF-8 file.

A 200-page PDF written by fpdf2 (a DejaVu TrueType subset with its Unicode map, as word processors
embed fonts; Helvetica when DejaVu is missing), about 3,500 characters a page, and a two-hour WebVTT
call (1,800 four-second cues, two speakers in turns of one to six cues). Each is read by
`read_source`, then its extracted text, saved as UTF-8, is read by the same function as plain text.

Targets: each read under 2 s and under 200 MB. Time: best of three reads (processor time beside it).
Memory: the peak of the Python heap during one read, by tracemalloc (pypdf and webvtt-py are pure
Python, so their allocations are all seen; the input bytes themselves are not counted).

    .venv/bin/python bench/bench_readers.py
"""

import random
import sys
import time
import tracemalloc
from pathlib import Path

from brevanta.pipeline.readers import read_source

TARGET_SECONDS = 2.0
TARGET_BYTES = 200 * 1024 * 1024
FONT = Path("/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf")

WORDS = ("the clinic takes about four hundred calls a day and patients want to book move or cancel "
         "appointments reminders go out a day before each visit in English Hindi or Marathi while "
         "urgent symptoms go straight to the nurse on call café ₹500").split()


def prose(rng, count):
    return " ".join(rng.choice(WORDS) for _ in range(count))


def pdf_of_200_pages():
    from fpdf import FPDF

    rng = random.Random(7)
    pdf = FPDF()
    pdf.set_auto_page_break(False)
    if FONT.exists():
        pdf.add_font("DejaVu", "", str(FONT))
        pdf.set_font("DejaVu", size=10)
    else:
        pdf.set_font("Helvetica", size=10)
    for _ in range(200):
        pdf.add_page()
        for _ in range(50):
            line = prose(rng, 14)
            pdf.cell(0, 5, line if FONT.exists() else line.encode("latin-1", "replace").decode("latin-1"),
                     new_x="LMARGIN", new_y="NEXT")
    return bytes(pdf.output())


def two_hour_call():
    rng = random.Random(11)
    blocks, speaker, left = ["WEBVTT"], "Dr Anaya Rao", 0
    for index in range(1800):
        if left == 0:
            speaker, left = ("Priya Nair" if speaker == "Dr Anaya Rao" else "Dr Anaya Rao"), rng.randint(1, 6)
        left -= 1
        start = index * 4
        blocks.append(f"{index + 1}\n{start // 3600:02d}:{start // 60 % 60:02d}:{start % 60:02d}.000 --> "
                      f"{start // 3600:02d}:{start // 60 % 60:02d}:{start % 60:02d}.900\n"
                      f"<v {speaker}>{prose(rng, 12)}</v>")
    return ("\n\n".join(blocks) + "\n").encode()


def best_of(function, repeat=3):
    times = []
    for _ in range(repeat):
        wall, cpu = time.perf_counter(), time.process_time()
        function()
        times.append((time.perf_counter() - wall, time.process_time() - cpu))
    return min(times)


def heap_peak(function):
    tracemalloc.start()
    try:
        function()
        return tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()


def measure(label, data, name):
    source = read_source(data, name)  # once first: the library's import is not part of a read
    plain = source.text.encode("utf-8")
    (wall, cpu), (plain_wall, _) = best_of(lambda: read_source(data, name)), best_of(lambda: read_source(plain, "call.txt"))
    peak = heap_peak(lambda: read_source(data, name))
    within = wall < TARGET_SECONDS and peak < TARGET_BYTES
    print(f"{label:<44} {len(data) / 1e6:6.2f} MB in, {len(source.text):>9,} chars, {len(source.marks):>5} marks")
    print(f"  read {wall * 1e3:8.1f} ms (processor {cpu * 1e3:7.1f} ms), heap peak {peak / 1e6:6.1f} MB;"
          f" plain text {plain_wall * 1e3:6.2f} ms: {wall / plain_wall:,.0f}x the time;"
          f" target under {TARGET_SECONDS:.0f} s and {TARGET_BYTES >> 20} MB: {'ok' if within else 'MISSED'}")
    return within


def main():
    results = [measure("200-page PDF (fpdf2)", pdf_of_200_pages(), "report.pdf"),
               measure("two-hour WebVTT call, 1,800 cues", two_hour_call(), "call.vtt")]
    sys.exit(0 if all(results) else 1)


if __name__ == "__main__":
    main()
