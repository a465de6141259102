// build_serialisable_state: the plain, JSON-safe dictionary a session stores.
#include "waymark/waymark.hpp"

namespace waymark {
namespace {

using boundary::Args;
using boundary::Conv;
using boundary::Kind;
using boundary::Name;
using boundary::Param;
using boundary::Ref;

// Keys in the order of the parameters (and of the session file).
Name state_keys[] = {Name("interview_answers"),        Name("document_types"),   Name("project_type_key"),
                     Name("selected_strategy_number"), Name("analysis_summary"), Name("analysis_completeness"),
                     Name("strategy_id"),              Name("review_turn_id"),   Name("output_dir")};
constexpr std::size_t list_members = 2;  // the first two keys hold lists

// The nine keys in order, all None: copying it is cheaper than inserting
// the keys one by one into a new dict (kept for the process).
PyObject* state_template() {
    static PyObject* keys = [] {
        Ref dict = Ref::steal(PyDict_New());
        for (Name& key : state_keys) boundary::check(PyDict_SetItem(dict.get(), key.get(), Py_None));
        return dict.release();
    }();
    return keys;
}

Ref build_serialisable_state(const Args& a) {
    Ref state = Ref::steal(PyDict_Copy(state_template()));
    for (std::size_t i = 0; i < std::size(state_keys); ++i) {
        if (i >= list_members && a[i].is_none()) continue;
        Ref value = i < list_members ? boundary::own_list(a[i]) : a[i];
        boundary::check(PyDict_SetItem(state.get(), state_keys[i].get(), value.get()));
    }
    return state;
}

Param keyword(const char* name, const char* annotation, Conv conv) {
    return Param{name, annotation, conv, boundary::default_none, Kind::KeywordOnly};
}

}  // namespace

const boundary::FunctionSpec build_serialisable_state_spec{
    "build_serialisable_state", "build_serialisable_state",
    "Build a clean serialisable state dict from pipeline variables.\n\n"
    "    Only primitive / JSON-safe types \xe2\x80\x94 no Pydantic models or async objects.\n"
    "    ",
    "dict[str, Any]",
    {keyword("interview_answers", "list[dict] | None", Conv::ListOrNone),
     keyword("document_types", "list[str] | None", Conv::ListOrNone),
     keyword("project_type_key", "str | None", Conv::StrOrNone),
     keyword("selected_strategy_number", "int | None", Conv::IntOrNone),
     keyword("analysis_summary", "str | None", Conv::StrOrNone),
     keyword("analysis_completeness", "float | None", Conv::FloatOrNone),
     keyword("strategy_id", "str | None", Conv::StrOrNone),
     keyword("review_turn_id", "str | None", Conv::StrOrNone),
     keyword("output_dir", "str | None", Conv::StrOrNone)},
    build_serialisable_state};

}  // namespace waymark
