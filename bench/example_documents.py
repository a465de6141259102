"""The example run at its documents, for the benchmarks of the document phase: the analysis with every
gap bypassed, the documents sent, and the saved replies as the replay hands them over (their citations
resolved against the documents sent)."""

import json
from pathlib import Path

from brevanta import gapscope
from brevanta.pipeline import documents
from brevanta.pipeline.models import ReplayClient
from brevanta.pipeline.session import Run
from brevanta.pipeline.sources import run_sources

EXAMPLES = Path(__file__).resolve().parents[1] / "examples"


def example():
    """(run, result, interview, sent, replies) of the example at its documents."""
    interview = (EXAMPLES / "interview.md").read_text(encoding="utf-8")
    analysis = json.loads(gapscope._extract_json((EXAMPLES / "replay" / "analysis.md").read_text(encoding="utf-8")))
    result = gapscope.AnalysisResult(**{key: analysis[key] for key in (
        "completeness_score", "completeness_reasoning", "sufficient_for_prd", "gaps", "insights",
        "data_points_found", "architecture_notes", "summary")})
    result.bypassed_gaps.extend(result.gaps)
    run = Run("examples/interview.md", "acme-demo", 1)
    sent = run_sources(interview, run, result)
    replay = ReplayClient({kind: (EXAMPLES / "replay" / f"{kind}.md").read_text(encoding="utf-8")
                           for kind in documents.FILE_NAMES})
    replies = {kind: replay.complete(messages=[{"role": "user", "content": documents.compose(kind, sent, result)}],
                                     model="m", max_tokens=16000, operation=kind) for kind in documents.FILE_NAMES}
    return run, result, interview, sent, replies
