"""AnalysisResult against the same class written in plain Python, and the
boundary layer's own per-call overhead."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))

from common import per_call, report  # noqa: E402

import brevanta.gapscope as gapscope  # noqa: E402


class PyAnalysisResult:
    def __init__(self, completeness_score=0.0, completeness_reasoning="", sufficient_for_prd=False, gaps=None,
                 insights=None, data_points_found=None, architecture_notes=None, summary="", raw_response=""):
        self.completeness_score = float(completeness_score)
        self.completeness_reasoning = completeness_reasoning
        self.sufficient_for_prd = bool(sufficient_for_prd)
        self.gaps = gaps or []
        self.insights = insights or []
        self.data_points_found = data_points_found or []
        self.architecture_notes = architecture_notes or []
        self.summary = summary
        self.raw_response = raw_response
        self.bypassed_gaps = []
        self.answered_gaps = []

    def get_unanswered_gaps(self):
        return [g for g in self.gaps if g.get("id") not in self.answered_gaps and g not in self.bypassed_gaps]

    def get_bypass_summary(self):
        if not self.bypassed_gaps:
            return ""
        return "KNOWN GAPS"


class CheckedPyAnalysisResult(PyAnalysisResult):
    """The same class with the constructor's argument rules spelled out, as a
    Python class must to behave the same (the native one enforces them)."""

    def __init__(self, completeness_score=0.0, completeness_reasoning="", sufficient_for_prd=False, gaps=None,
                 insights=None, data_points_found=None, architecture_notes=None, summary="", raw_response=""):
        if isinstance(completeness_score, str):
            raise TypeError("must be real number, not str")
        for text in (completeness_reasoning, summary, raw_response):
            if type(text) is not str:
                raise TypeError("expected str")
        for items in (gaps, insights, data_points_found, architecture_notes):
            if items is not None and type(items) is not list:
                raise TypeError("expected list")
        self.completeness_score = float(completeness_score)
        self.completeness_reasoning = completeness_reasoning
        self.sufficient_for_prd = bool(sufficient_for_prd)
        self.gaps = gaps or []
        self.insights = insights or []
        self.data_points_found = data_points_found or []
        self.architecture_notes = architecture_notes or []
        self.summary = summary
        self.raw_response = raw_response
        self.bypassed_gaps = []
        self.answered_gaps = []


def main():
    gaps = [{"id": f"gap_{i}", "title": f"Gap {i}", "impact_level": "critical"} for i in range(10)]
    kwargs = dict(completeness_score=0.62, completeness_reasoning="reasoning", sufficient_for_prd=False, gaps=gaps,
                  insights=[{"severity": "critical"}], data_points_found=["20 properties"],
                  architecture_notes=["use queues"], summary="summary", raw_response="{}")
    Native = gapscope.AnalysisResult
    native_time = per_call(lambda: Native(**kwargs))
    ok = report("construct with nine keyword arguments (same argument rules)", native_time,
                per_call(lambda: CheckedPyAnalysisResult(**kwargs)), 1.0)
    report("construct with nine keyword arguments (Python without checks)", native_time,
           per_call(lambda: PyAnalysisResult(**kwargs)), 0)

    native, python = Native(**kwargs), PyAnalysisResult(**kwargs)
    for result in (native, python):
        result.answered_gaps.extend(["gap_1", "gap_4"])
        result.bypassed_gaps.append(dict(gaps[7]))
    assert native.get_unanswered_gaps() == python.get_unanswered_gaps()
    ok &= report("get_unanswered_gaps, 10 gaps", per_call(native.get_unanswered_gaps),
                 per_call(python.get_unanswered_gaps), 1.5)

    bare_native, bare_python = Native(), PyAnalysisResult()
    report("boundary overhead: a method returning at once", per_call(bare_native.get_bypass_summary),
           per_call(bare_python.get_bypass_summary), 0)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
