// brevanta.gapscope: module definition and the steps that execute it.
#include "gapscope/gapscope.hpp"

namespace gapscope {
namespace {

using boundary::Ref;

constexpr const char* module_doc =
    "AI-powered deep analysis \xe2\x80\x94 the brain of the perception loop.\n"
    "\n"
    "Uses Claude to analyze collected data like a senior solutions architect:\n"
    "- Identify edge cases, gaps, risks\n"
    "- Score each gap with IMPACT assessment (what happens if we skip it)\n"
    "- Generate smart follow-up questions\n"
    "- Architecture recommendations\n"
    "\n"
    "The impact assessment enables the bypass system \xe2\x80\x94 user sees exactly\n"
    "what they lose by skipping a question.\n";

// The result class, created with type() from our function objects.
Ref make_result_class() {
    Ref ns = Ref::steal(PyDict_New());
    auto put = [&](const char* key, const Ref& value) { boundary::check(PyDict_SetItemString(ns.get(), key, value.get())); };
    put("__module__", boundary::str(module.full_name));
    put("__qualname__", boundary::str("AnalysisResult"));
    put("__init__", boundary::make_function(result_init_spec, module));
    Ref empty = boundary::make_function(result_empty_spec, module);
    put("empty", Ref::steal(PyClassMethod_New(empty.get())));
    put("get_unanswered_gaps", boundary::make_function(result_unanswered_gaps_spec, module));
    put("get_bypass_summary", boundary::make_function(result_bypass_summary_spec, module));
    Ref bases = Ref::steal(PyTuple_New(0));
    Ref name = boundary::str("AnalysisResult");
    Ref cls = Ref::borrow(reinterpret_cast<PyObject*>(&PyType_Type))(name, bases, ns);
    boundary::use_init_slot(cls.get());
    return cls;
}

void exec_steps(boundary::ModuleRecord& m) {
    m.bind("json", m.import_module("json"));
    m.bind("logging", m.import_module("logging"));
    m.bind("Any", m.import_from("typing", "Any", 0));
    Ref type_checking = m.import_from("typing", "TYPE_CHECKING", 0);
    m.bind("TYPE_CHECKING", type_checking);
    m.bind("with_retry", m.import_from("resilience", "with_retry", 1));
    m.bind("anthropic", m.import_module("anthropic"));
    m.bind("config", m.import_from("", "config", 1));
    m.bind("display", m.import_from("", "display", 1));
    if (boundary::truthy(type_checking.get())) m.bind("RelayGate", m.import_from("relaygate", "RelayGate", 1));

    static boundary::Name logging_name("logging"), with_retry_name("with_retry"), max_attempts("max_attempts"),
        backoff_base("backoff_base"), operation_name("operation_name");
    m.bind("logger", m.global(logging_name).attr("getLogger")(boundary::str("corvane.analyzer")));
    m.bind("ANALYSIS_PROMPT", boundary::str(analysis_prompt));

    Ref two = boundary::integer(2);
    Ref decorator = boundary::call(m.global(with_retry_name).get(), {},
                                   {{max_attempts, two.get()},
                                    {backoff_base, two.get()},
                                    {operation_name, boundary::str("AI Analysis").get()}});
    Ref analyze = boundary::make_function(analyze_requirements_spec, m);
    m.bind("analyze_requirements", decorator(analyze));

    m.bind("AnalysisResult", make_result_class());
    m.bind_function("_completeness_label", completeness_label_spec);
    m.bind_function("display_analysis", display_analysis_spec);
    m.bind_function("display_gap_with_impact", display_gap_spec);
    m.bind_function("_extract_json", extract_json_spec);
    m.bind("__test__", Ref::steal(PyDict_New()));
}

}  // namespace

boundary::ModuleRecord module("gapscope", "brevanta.gapscope", "brevanta/gapscope", module_doc,
                              {"print", "sorted", "sum"}, exec_steps);

}  // namespace gapscope

PyMODINIT_FUNC PyInit_gapscope() { return gapscope::module.init(); }
