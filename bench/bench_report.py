"""display_analysis against a plain Python rendering of the same report.

A result with 10 gaps, 20 insights and 20 architecture notes is reported
through the project's real `display` to a discarded stream, by the native
function and by the Python below (both escape the control characters of
model text), in the same run.  Prints the times and the
ratio (above 1.0: the native report is faster), then the same with a display
whose operations do nothing, which times the rendering alone.

    PYTHONPATH=build/<name>/stage .venv/bin/python bench/bench_report.py
"""

import gc
import os
import re
import sys
import time
import types

from brevanta import display
from brevanta import gapscope


_CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\ud800-\udfff]")


def shown(value):
    """Model text with its control characters escaped as repr() writes them."""
    return _CONTROL.sub(lambda match: repr(match.group())[1:-1], str(value))


def python_report(result):
    """The report written the plain Python way."""
    if result.summary:
        display.narrative(f"\n{shown(result.summary)}")
    if result.data_points_found:
        print()
        display.info("Data points I extracted from your answers:")
        for point in result.data_points_found:
            print(display.dim(f"    {shown(point)}"))
    print()
    label = gapscope._completeness_label(result.completeness_score)
    display.confidence_bar(result.completeness_score, "Requirements Completeness")
    print(f"  Completeness: {result.completeness_score:.2f} / 1.0 ({label})")
    if result.completeness_reasoning:
        print(display.dim(f"  {shown(result.completeness_reasoning)}"))
    if result.gaps:
        print()
        display.info("Gaps found:")
        severity_order = {"critical": 0, "significant": 1, "minor": 2}
        sorted_gaps = sorted(result.gaps, key=lambda g: severity_order.get(g.get("impact_level", "minor"), 3))
        for gap in sorted_gaps:
            impact = gap.get("impact_level", "unknown").upper()
            title = gap.get("title", "Unknown gap")
            if impact == "CRITICAL":
                tag = display.red("  HIGH   ")
            elif impact == "SIGNIFICANT":
                tag = display.yellow("  MEDIUM ")
            else:
                tag = display.dim("  LOW    ")
            print(f"{tag}{shown(title)}")
            desc = gap.get("description", "")
            if desc:
                print(display.dim(f"           {shown(desc)}"))
            risk = gap.get("risk_if_skipped", "")
            if risk:
                print(display.dim(f"           Risk: {shown(risk)}"))
        print()
        if sum(1 for g in result.gaps if g.get("impact_level") == "critical") > 0:
            display.info("You can:")
            print("  1. Continue anyway (gaps will show as [LIMITED DATA] in documents)")
            print("  2. Answer follow-up questions to fill critical gaps")
            print("  3. Attach a document that covers the gaps (/file)")
    else:
        print()
        display.success("No gaps identified \u2014 requirements look comprehensive.")
    critical = [i for i in result.insights if i.get("severity") == "critical"]
    important = [i for i in result.insights if i.get("severity") == "important"]
    if critical:
        print()
        display.warning("Critical issues identified:")
        for ins in critical:
            print(f"    {display.red('!')} {display.bold(shown(ins.get('title', '')))}")
            print(f"      {shown(ins.get('description', ''))}")
            if ins.get("recommendation"):
                print(display.dim(f"      Recommendation: {shown(ins['recommendation'])}"))
    if important:
        print()
        display.info("Important considerations:")
        for ins in important:
            print(f"    {display.yellow('*')} {display.bold(shown(ins.get('title', '')))}")
            print(f"      {shown(ins.get('description', ''))}")
    if result.architecture_notes:
        print()
        display.info("Architecture recommendations:")
        for note in result.architecture_notes:
            print(display.dim(f"    > {shown(note)}"))
    print()
    if result.sufficient_for_prd:
        display.success("Requirements are sufficient to generate a strong PRD and TRD.")
    else:
        n = len([g for g in result.gaps if g.get("impact_level") == "critical"])
        display.info(f"More detail would strengthen the output. {n} critical gap{'s' if n != 1 else ''} found.")


def make_result():
    levels = ["critical", "significant", "minor", "significant", "minor"]
    severities = ["critical", "important", "nice_to_have", "important"]
    gaps = [
        {"id": f"gap_{i}", "category": "technical", "title": f"Integration detail {i}",
         "description": f"How the agent reaches system {i} is not described.", "impact_on_prd": "Scope",
         "impact_on_trd": "Integrations", "impact_level": levels[i % 5],
         "risk_if_skipped": f"Rework of component {i}" if i % 2 else "", "question": "Which API?",
         "priority": "important"}
        for i in range(10)
    ]
    insights = [
        {"type": "risk", "severity": severities[i % 4], "title": f"Observation {i}",
         "description": f"Detail {i} taken from the answers.", "recommendation": f"Address point {i}"}
        for i in range(20)
    ]
    notes = [f"Architecture note {i}: keep the handoff queue durable." for i in range(20)]
    return gapscope.AnalysisResult(
        0.64, "Scope is clear; integrations and volumes are not.", False, gaps, insights,
        ["2,000 calls a day", "Spanish and English", "Claims only"], notes,
        "A mid-size insurer wants a voice bot that takes first notice of loss.",
    )


def best_times(functions, result, rounds=40, reports_per_round=50):
    """Best time per report of each function, measured in alternating rounds
    so that a busy machine slows both alike; the collector is off as timeit has it."""
    best = {name: float("inf") for name in functions}
    gc.disable()
    try:
        for round_number in range(rounds):
            order = list(functions.items())
            if round_number % 2:
                order.reverse()
            for name, function in order:
                started = time.perf_counter()
                for _ in range(reports_per_round):
                    function(result)
                best[name] = min(best[name], (time.perf_counter() - started) / reports_per_round)
    finally:
        gc.enable()
    return best


def plain_display():
    """A display whose operations do nothing, to time the rendering alone."""
    module = types.ModuleType("plain_display")

    def message(text):
        pass

    def bar(score, label):
        pass

    def style(text):
        return text

    module.narrative = module.info = module.warning = module.success = message
    module.confidence_bar = bar
    module.red = module.yellow = module.bold = module.dim = style
    return module


def measure(result, console):
    global display
    saved_stdout, saved_display = sys.stdout, display
    sys.stdout = open(os.devnull, "w", encoding="utf-8")
    gapscope.display = display = console
    try:
        return best_times({"native": gapscope.display_analysis, "python": python_report}, result)
    finally:
        sys.stdout.close()
        sys.stdout = saved_stdout
        gapscope.display = display = saved_display


def main():
    result = make_result()
    print("display_analysis (10 gaps, 20 insights, 20 notes) to a discarded stream")
    for title, console in (("the project's display", display), ("a display that does nothing", plain_display())):
        best = measure(result, console)
        native, python = best["native"], best["python"]
        print(f"  with {title}:")
        print(f"    native: {native * 1e6:9.1f} us per report")
        print(f"    python: {python * 1e6:9.1f} us per report")
        print(f"    ratio python/native: {python / native:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
