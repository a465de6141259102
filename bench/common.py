"""Timing helpers shared by the benchmarks: best-of-N per-call times, so the
ratio against the Python way compares two measurements of the same run."""

import timeit


def per_call(function, *, number=None, repeat=7):
    """Best seconds per call of `function` over `repeat` rounds."""
    timer = timeit.Timer(function)
    if number is None:
        number, _ = timer.autorange()
    return min(timer.repeat(repeat=repeat, number=number)) / number


def report(label, ours, python, target):
    """Print one comparison; `target` is the speed-up the code is held to."""
    ratio = python / ours
    verdict = "" if not target else ("ok" if ratio >= target else "BELOW TARGET")
    print(f"{label:<62} native {ours * 1e9:10.0f} ns  python {python * 1e9:10.0f} ns  "
          f"x{ratio:6.2f}" + (f" (target x{target}) {verdict}" if target else ""))
    return ratio >= target
