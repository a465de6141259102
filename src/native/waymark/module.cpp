// brevanta.waymark: module definition and the steps that execute it.
#include "boundary/function.hpp"
#include "boundary/module.hpp"

namespace waymark {
namespace {

constexpr const char* module_doc =
    "Session state persistence for resume capability (D194).\n"
    "\n"
    "Saves pipeline state after each major phase so interrupted runs can resume.\n"
    "State files live in ~/.corvane/sessions/{org_id}_{timestamp}.json.\n";

void exec_steps(boundary::ModuleRecord&) {}

}  // namespace

boundary::ModuleRecord module("waymark", "brevanta.waymark", "brevanta/waymark", module_doc, {}, exec_steps);

}  // namespace waymark

PyMODINIT_FUNC PyInit_waymark() { return waymark::module.init(); }
