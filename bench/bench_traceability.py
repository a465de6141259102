"""The traceability pass over the example run's two documents, and the measured precision of its statement rule.

The pass: the reply's citations checked against the documents sent, the footnote references put in, the
numbered requirements and the interview's statements traced, the two sections and the Sources written,
the references numbered; for the PRD and the TRD of the example (the saved replies, their citations
resolved as the replay resolves them). Against the plain assembly of the same two replies without it
(sections, known gaps, figures, header and appendix), measured in the same run. Target: the pass under 50 ms.

Then the rule that picks the interview's statements, against the labelled interviews of
bench/statement_cases.py: precision (of the sentences it lists, how many state a need, a rule, a figure or
a constraint) and recall (of those, how many it lists).

    .venv/bin/python bench/bench_traceability.py
"""

import sys

from common import per_call
from example_documents import example
from statement_cases import CASES

from brevanta.pipeline import assembly, citations, documents, footnotes, traceability

TARGET_SECONDS = 0.050


def main():
    run, result, interview, sent, replies = example()
    traced = {kind: documents.document_material(kind, run, result, interview, True, sent) for kind in replies}
    plain = {kind: documents.document_material(kind, run, result, interview, True, []) for kind in replies}
    texts = {kind: documents.document_text(kind, completion) for kind, completion in replies.items()}

    def traceability_pass():
        for kind, completion in replies.items():
            checked = citations.check(completion.blocks, sent)
            marked, passages = footnotes.marked(completion.text, checked.citations)
            found = traceability.trace(marked, result.bypassed_gaps, sent[0], checked, (), 0)
            traceability.requirements_section(found)
            traceability.statements_section(found, sent[0])
            numbered, notes = footnotes.numbered(marked, passages, sent)
            footnotes.sources_section(notes, checked.received)

    def assembly_with_it():
        for kind, completion in replies.items():
            checked = citations.check(completion.blocks, sent)
            marked, passages = footnotes.marked(completion.text, checked.citations)
            reply = documents.document_text(kind, completion.__class__(marked, None, 0, 0))
            assembly.assemble(kind, reply, documents.document_sections(kind), traced[kind], checked, passages)

    def assembly_alone():
        for kind in replies:
            assembly.assemble(kind, texts[kind], documents.document_sections(kind), plain[kind])

    ours = per_call(traceability_pass, number=5, repeat=7)
    whole = per_call(assembly_with_it, number=5, repeat=7)
    alone = per_call(assembly_alone, number=5, repeat=7)
    print(f"{'traceability pass, PRD + TRD':<60} {ours * 1e3:8.2f} ms")
    print(f"{'assembly of PRD + TRD with the pass':<60} {whole * 1e3:8.2f} ms")
    print(f"{'assembly of PRD + TRD without it':<60} {alone * 1e3:8.2f} ms")
    verdict = "ok" if ours < TARGET_SECONDS else "ABOVE TARGET"
    print(f"ratio {whole / alone:.2f}x the plain assembly; the pass {ours / alone:.2f}x of it; "
          f"target under {TARGET_SECONDS * 1e3:.0f} ms: {verdict}")

    flagged_total = true_total = hits_total = 0
    for name, text, labels in CASES:
        flagged = [statement.text for statement in traceability.statements(text)]
        label_of = [next((value for prefix, value in labels.items() if sentence.startswith(prefix)), None)
                    for sentence in flagged]
        unknown = [sentence for sentence, value in zip(flagged, label_of) if value is None]
        assert not unknown, f"unlabelled sentences in {name}: {unknown}"
        hits = sum(1 for value in label_of if value)
        true = sum(1 for value in labels.values() if value)
        flagged_total, true_total, hits_total = flagged_total + len(flagged), true_total + true, hits_total + hits
        print(f"statements of {name:<25} listed {len(flagged):3}, precision {hits / len(flagged):6.1%}, "
              f"recall {hits / true:6.1%}")
    print(f"statements of all {len(CASES)} interviews{'':<11} listed {flagged_total:3}, precision "
          f"{hits_total / flagged_total:6.1%}, recall {hits_total / true_total:6.1%}")
    return 0 if verdict == "ok" else 1


if __name__ == "__main__":
    sys.exit(main())
