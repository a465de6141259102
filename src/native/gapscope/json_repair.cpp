// _extract_json: narrows a model reply to its JSON and repairs common faults.
#include "gapscope/gapscope.hpp"

namespace gapscope {
namespace {

using boundary::Args;
using boundary::Conv;
using boundary::Ref;

Ref extract_json(const Args&) {
    boundary::raise(PyExc_NotImplementedError, "_extract_json is not built yet");
}

}  // namespace

const boundary::FunctionSpec extract_json_spec{
    "_extract_json", "_extract_json", "Extract JSON from a response, with repair for common Claude JSON issues.", "str",
    {{"text", "str", Conv::Str}}, extract_json};

}  // namespace gapscope
