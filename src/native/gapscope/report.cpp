// The console report: completeness label, one gap with its impact, the full analysis.
#include "gapscope/gapscope.hpp"

namespace gapscope {
namespace {

using boundary::Args;
using boundary::Conv;
using boundary::Ref;

Ref completeness_label(const Args&) {
    boundary::raise(PyExc_NotImplementedError, "_completeness_label is not built yet");
}

Ref display_analysis(const Args&) {
    boundary::raise(PyExc_NotImplementedError, "display_analysis is not built yet");
}

Ref display_gap_with_impact(const Args&) {
    boundary::raise(PyExc_NotImplementedError, "display_gap_with_impact is not built yet");
}

}  // namespace

const boundary::FunctionSpec completeness_label_spec{
    "_completeness_label", "_completeness_label", "Return a human-readable label for a completeness score.", "str",
    {{"score", "float", Conv::Float}}, completeness_label};

const boundary::FunctionSpec display_analysis_spec{
    "display_analysis", "display_analysis", "Display AI analysis results with full transparency.", nullptr,
    {{"result", "AnalysisResult"}}, display_analysis};

const boundary::FunctionSpec display_gap_spec{
    "display_gap_with_impact", "display_gap_with_impact",
    "Display a single gap with its impact assessment for bypass decision.", nullptr,
    {{"gap", "dict[str, Any]", Conv::Dict}, {"index", "int", Conv::Int}}, display_gap_with_impact};

}  // namespace gapscope
