// analyze_requirements: fills the prompt, asks the model, decodes the reply.
#include "gapscope/gapscope.hpp"

namespace gapscope {
namespace {

using boundary::Args;
using boundary::Conv;
using boundary::Ref;

Ref analyze_requirements(const Args&) {
    boundary::raise(PyExc_NotImplementedError, "analyze_requirements is not built yet");
}

}  // namespace

const boundary::FunctionSpec analyze_requirements_spec{
    "analyze_requirements", "analyze_requirements",
    "Run AI-powered deep analysis on collected interview data.\n"
    "\n"
    "    api_client: optional RelayGate \xe2\x80\x94 if provided and full_hosted=True,\n"
    "    routes the AI call through the server proxy (D196).\n"
    "    ",
    "AnalysisResult",
    {
        {"interview_text", "str", Conv::Str},
        {"loop_number", "int", Conv::Int, boundary::default_int(1)},
        {"api_client", "'RelayGate | None'", Conv::Any, boundary::default_none},
    },
    analyze_requirements, true};

}  // namespace gapscope
