// AnalysisResult: the value one analysis produces, and the record of what the
// user did with each gap (answered or bypassed).
#include "gapscope/gapscope.hpp"

namespace gapscope {
namespace {

using boundary::Args;
using boundary::Conv;
using boundary::Name;
using boundary::Ref;

Name n_completeness_score("completeness_score"), n_completeness_reasoning("completeness_reasoning"),
    n_sufficient_for_prd("sufficient_for_prd"), n_gaps("gaps"), n_insights("insights"),
    n_data_points_found("data_points_found"), n_architecture_notes("architecture_notes"), n_summary("summary"),
    n_raw_response("raw_response"), n_bypassed_gaps("bypassed_gaps"), n_answered_gaps("answered_gaps"), n_id("id");

Ref result_init(const Args& a) {
    PyObject* self = a.get(0);
    using boundary::own_list;
    Ref gaps = own_list(a[4]), insights = own_list(a[5]), data_points = own_list(a[6]), notes = own_list(a[7]);
    Ref bypassed = Ref::steal(PyList_New(0)), answered = Ref::steal(PyList_New(0));
    const std::pair<Name*, PyObject*> attributes[] = {
        {&n_completeness_score, a.get(1)}, {&n_completeness_reasoning, a.get(2)},
        {&n_sufficient_for_prd, a.get(3)}, {&n_gaps, gaps.get()},
        {&n_insights, insights.get()},     {&n_data_points_found, data_points.get()},
        {&n_architecture_notes, notes.get()}, {&n_summary, a.get(8)},
        {&n_raw_response, a.get(9)},       {&n_bypassed_gaps, bypassed.get()},
        {&n_answered_gaps, answered.get()},
    };
    // The type's own setattr slot, as PyObject_SetAttr would reach it: the
    // names are interned already.
    setattrofunc set = Py_TYPE(self)->tp_setattro;
    for (const auto& [name, value] : attributes) {
        boundary::check(set ? set(self, name->get(), value) : PyObject_SetAttr(self, name->get(), value));
    }
    return boundary::none();
}

Ref result_empty(const Args& a) {
    PyObject* reason = a.get(1);
    Ref reasoning = PyUnicode_GET_LENGTH(reason) > 0 ? a[1] : boundary::str("Analysis not available");
    Ref score = boundary::floating(0.5);
    return boundary::call(a.get(0), {},
                          {{n_completeness_score, score.get()},
                           {n_completeness_reasoning, reasoning.get()},
                           {n_sufficient_for_prd, Py_False}});
}

// An attribute of `self`, read on first use only, as the equivalent
// comprehension reads it only when it gets that far.
class LazyAttribute {
public:
    LazyAttribute(PyObject* owner, Name& name) : owner_(owner), name_(name) {}
    bool contains(PyObject* item) {
        if (!value_) value_ = Ref::steal(PyObject_GetAttr(owner_, name_.get()));
        return boundary::contains(value_.get(), item);
    }

private:
    PyObject* owner_;
    Name& name_;
    Ref value_;
};

// Whether a gap is still open: not answered (by id) and not bypassed (by equality).
class OpenGapTest {
public:
    explicit OpenGapTest(PyObject* result) : answered_(result, n_answered_gaps), bypassed_(result, n_bypassed_gaps) {}
    bool operator()(PyObject* gap) {
        // The model wrote something other than a record: nobody can be asked about it.
        if (!PyDict_Check(gap)) return false;
        Ref id = boundary::get_item(gap, n_id.get(), nullptr);
        return !answered_.contains(id.get()) && !bypassed_.contains(gap);
    }

private:
    LazyAttribute answered_, bypassed_;
};

// The open gaps of an exact list, walked by index as its iterator would, into
// a list allocated once for the most it can hold.
Ref open_gaps_of_list(PyObject* gaps, OpenGapTest& is_open) {
    Ref open = Ref::steal(PyList_New(PyList_GET_SIZE(gaps)));
    Py_SET_SIZE(open.get(), 0);
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gaps); ++i) {
        Ref gap = Ref::borrow(PyList_GET_ITEM(gaps, i));
        if (!is_open(gap.get())) continue;
        boundary::check(PyList_Append(open.get(), gap.get()));  // in place while capacity lasts
    }
    return open;
}

Ref result_unanswered_gaps(const Args& a) {
    PyObject* self = a.get(0);
    Ref gaps = Ref::steal(PyObject_GetAttr(self, n_gaps.get()));
    OpenGapTest is_open(self);
    if (PyList_CheckExact(gaps.get())) return open_gaps_of_list(gaps.get(), is_open);
    Ref open = Ref::steal(PyList_New(0));
    Ref iterator = Ref::steal(PyObject_GetIter(gaps.get()));
    while (Ref gap = Ref::steal_maybe(PyIter_Next(iterator.get()))) {
        if (is_open(gap.get())) boundary::check(PyList_Append(open.get(), gap.get()));
    }
    if (PyErr_Occurred()) boundary::throw_error();
    return open;
}

// format(value, "") of gap.get(key, fallback).
Ref formatted_field(PyObject* gap, PyObject* key, PyObject* fallback) {
    return boundary::format(boundary::get_item(gap, key, fallback).get());
}

Ref result_bypass_summary(const Args& a) {
    static Name title("title"), risk("risk_if_skipped"), prd("impact_on_prd"), trd("impact_on_trd");
    static boundary::Text unknown("Unknown"), unknown_impact("Unknown impact"),
        header("KNOWN GAPS (user chose to proceed without this info):"), dash("\n- "), colon(": "),
        prd_label("\n  PRD impact: "), trd_label("\n  TRD impact: "), nothing("");
    Ref bypassed = Ref::steal(PyObject_GetAttr(a.get(0), n_bypassed_gaps.get()));
    if (!boundary::truthy(bypassed.get())) return Ref::borrow(nothing);
    Ref pieces = Ref::steal(PyList_New(0));
    auto add = [&](PyObject* piece) { boundary::check(PyList_Append(pieces.get(), piece)); };
    auto add_field = [&](PyObject* gap, PyObject* key, PyObject* fallback) { add(formatted_field(gap, key, fallback).get()); };
    add(header);
    Ref iterator = Ref::steal(PyObject_GetIter(bypassed.get()));
    while (Ref gap = Ref::steal_maybe(PyIter_Next(iterator.get()))) {
        add(dash);
        add_field(gap.get(), title, unknown);
        add(colon);
        add_field(gap.get(), risk, unknown_impact);
        add(prd_label);
        add_field(gap.get(), prd, unknown);
        add(trd_label);
        add_field(gap.get(), trd, unknown);
    }
    if (PyErr_Occurred()) boundary::throw_error();
    return Ref::steal(PyUnicode_Join(nothing, pieces.get()));
}

constexpr const char* list_of_records = "list[dict[str, Any]] | None";
constexpr const char* list_of_texts = "list[str] | None";

}  // namespace

using boundary::default_false;
using boundary::default_float;
using boundary::default_none;
using boundary::default_str;

const boundary::FunctionSpec result_init_spec{
    "__init__", "AnalysisResult.__init__", nullptr, nullptr,
    {
        {"self", nullptr},
        {"completeness_score", "float", Conv::Float, default_float(0.0)},
        {"completeness_reasoning", "str", Conv::Str, default_str("")},
        {"sufficient_for_prd", "bool", Conv::Bool, default_false},
        {"gaps", list_of_records, Conv::ListOrNone, default_none},
        {"insights", list_of_records, Conv::ListOrNone, default_none},
        {"data_points_found", list_of_texts, Conv::ListOrNone, default_none},
        {"architecture_notes", list_of_texts, Conv::ListOrNone, default_none},
        {"summary", "str", Conv::Str, default_str("")},
        {"raw_response", "str", Conv::Str, default_str("")},
    },
    result_init};

const boundary::FunctionSpec result_empty_spec{
    "empty", "AnalysisResult.empty", nullptr, "'AnalysisResult'",
    {{"cls", nullptr}, {"reason", "str", Conv::Str, default_str("")}},
    result_empty};

const boundary::FunctionSpec result_unanswered_gaps_spec{
    "get_unanswered_gaps", "AnalysisResult.get_unanswered_gaps", "Get gaps that haven't been answered or bypassed.",
    "list[dict[str, Any]]", {{"self", nullptr}}, result_unanswered_gaps};

const boundary::FunctionSpec result_bypass_summary_spec{
    "get_bypass_summary", "AnalysisResult.get_bypass_summary",
    "Summary of what was skipped \xe2\x80\x94 passed to document generation.", "str", {{"self", nullptr}},
    result_bypass_summary};

}  // namespace gapscope
