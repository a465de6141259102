// analyze_requirements: fills the prompt, asks the model, decodes the reply.
#include "gapscope/gapscope.hpp"

#include <array>

namespace gapscope {
namespace {

using boundary::Args;
using boundary::Conv;
using boundary::Name;
using boundary::Ref;
using boundary::Text;

Name n_config("config"), n_anthropic("anthropic"), n_json("json"), n_logger("logger"), n_prompt("ANALYSIS_PROMPT"),
    n_result("AnalysisResult"), n_extract_json("_extract_json"), n_api_key("ANTHROPIC_API_KEY"),
    n_routing("MODEL_ROUTING"), n_reasoning("MODEL_REASONING"), n_max_tokens_setting("MAX_TOKENS_ANALYSIS"),
    n_get("get"), n_full_hosted("full_hosted"), n_call_ai_proxy("_call_ai_proxy"), n_token_log("token_log"),
    n_append("append"), n_client_class("Anthropic"), n_create("create"),
    n_content("content"), n_text("text"), n_loads("loads"), n_empty("empty"), n_warning("warning"), n_role("role"),
    n_phase("phase"), n_input("input"), n_output("output"),
    // keyword arguments
    n_messages("messages"), n_model("model"), n_max_tokens("max_tokens"), n_operation("operation"),
    n_api_key_kw("api_key"), n_completeness_score("completeness_score"),
    n_completeness_reasoning("completeness_reasoning"), n_sufficient_for_prd("sufficient_for_prd"), n_gaps("gaps"),
    n_insights("insights"), n_data_points_found("data_points_found"), n_architecture_notes("architecture_notes"),
    n_summary("summary"), n_raw_response("raw_response");

Ref config() { return module.global(n_config); }

Ref empty_result(PyObject* reason) { return module.global(n_result).attr(n_empty)(reason); }

void log_warning(PyObject* message) {
    boundary::call_method(module.global(n_logger).get(), n_warning, {message});
}

// "<prefix>" followed by format(error, "").
Ref with_error_text(const char* prefix, PyObject* error) {
    Ref text = boundary::format(error);
    return Ref::steal(PyUnicode_Concat(boundary::str(prefix).get(), text.get()));
}

// The relay when the client says it is fully hosted; the value itself is kept.
Ref proxy_choice(PyObject* api_client) {
    if (api_client == Py_None) return boundary::boolean(false);
    Ref full_hosted = Ref::steal_maybe(PyObject_GetAttr(api_client, n_full_hosted));
    if (full_hosted) return full_hosted;
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) boundary::throw_error();
    PyErr_Clear();
    return boundary::boolean(false);
}

// The template with the interview in place of its placeholder (plain
// substring replacement, so braces stay as written), then the round note.
Ref filled_prompt(PyObject* interview_text, PyObject* loop_number) {
    static Text placeholder("{interview_data}"), no_note("");
    Ref one = boundary::integer(1);
    Ref note = Ref::borrow(no_note);
    if (boundary::compare(loop_number, one.get(), Py_GT)) {
        Ref round = boundary::format(loop_number);
        note = Ref::steal(PyUnicode_FromFormat(
            "\n\nThis is analysis round %U. The user has already answered follow-up questions. "
            "Focus on NEW gaps not yet addressed. Don't repeat.\n",
            round.get()));
    }
    static Name replace_name("replace");
    Ref replace = module.global(n_prompt).attr(replace_name);
    Ref filled = replace(placeholder.get(), interview_text);
    return Ref::steal(PyNumber_Add(filled.get(), note.get()));
}

// [{"role": "user", "content": prompt}]
Ref one_user_message(PyObject* prompt) {
    static Text user("user");
    Ref message = Ref::steal(PyDict_New());
    boundary::check(PyDict_SetItem(message.get(), n_role, user));
    boundary::check(PyDict_SetItem(message.get(), n_content, prompt));
    Ref messages = Ref::steal(PyList_New(0));
    boundary::check(PyList_Append(messages.get(), message.get()));
    return messages;
}

[[noreturn]] void too_few_values(Py_ssize_t got) {
    boundary::raise_format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
}
[[noreturn]] void too_many_values() {
    boundary::raise_format(PyExc_ValueError, "too many values to unpack (expected %zd)", Py_ssize_t{3});
}

// a, b, c = value
std::array<Ref, 3> unpack_three(PyObject* value) {
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        if (size > 3) too_many_values();
        if (size < 3) too_few_values(size);
        PyObject** items = PySequence_Fast_ITEMS(value);
        return {Ref::borrow(items[0]), Ref::borrow(items[1]), Ref::borrow(items[2])};
    }
    Ref iterator = Ref::steal(PyObject_GetIter(value));
    auto next = [&](Py_ssize_t got) {
        Ref item = Ref::steal_maybe(PyIter_Next(iterator.get()));
        if (!item && PyErr_Occurred()) boundary::throw_error();
        if (!item && got < 3) too_few_values(got);
        return item;
    };
    std::array<Ref, 3> items{next(0), next(1), next(2)};
    if (next(3)) too_many_values();
    return items;
}

struct ModelCall {
    PyObject* api_client;
    PyObject* prompt;
    PyObject* model;
    PyObject* max_tokens;
};

// Through the hosted relay; the usage goes onto the client's token log.
Ref ask_relay(const ModelCall& call) {
    static Text analysis("analysis"), phase("requirements_analysis");
    Ref call_ai_proxy = Ref::borrow(call.api_client).attr(n_call_ai_proxy);
    Ref messages = one_user_message(call.prompt);
    Ref reply = boundary::call(call_ai_proxy.get(), {},
                               {{n_messages, messages.get()},
                                {n_model, call.model},
                                {n_max_tokens, call.max_tokens},
                                {n_operation, analysis}});
    auto [response_text, input_tok, output_tok] = unpack_three(reply.get());

    Ref token_log = Ref::borrow(call.api_client).attr(n_token_log);
    Ref entry = Ref::steal(PyDict_New());
    boundary::check(PyDict_SetItem(entry.get(), n_phase, phase));
    boundary::check(PyDict_SetItem(entry.get(), n_input, input_tok.get()));
    boundary::check(PyDict_SetItem(entry.get(), n_output, output_tok.get()));
    if (PyList_CheckExact(token_log.get()))
        boundary::check(PyList_Append(token_log.get(), entry.get()));
    else
        boundary::call_method(token_log.get(), n_append, {entry.get()});
    return response_text;
}

// Straight to Anthropic with a new client for this call.
Ref ask_directly(const ModelCall& call) {
    static Text empty_object("{}");
    Ref client_class = module.global(n_anthropic).attr(n_client_class);
    Ref api_key = config().attr(n_api_key);
    Ref client = boundary::call(client_class.get(), {}, {{n_api_key_kw, api_key.get()}});
    Ref create = client.attr(n_messages).attr(n_create);
    Ref messages = one_user_message(call.prompt);
    Ref message = boundary::call(create.get(), {},
                                 {{n_model, call.model}, {n_max_tokens, call.max_tokens}, {n_messages, messages.get()}});
    if (!boundary::truthy(message.attr(n_content).get())) return Ref::borrow(empty_object);
    Ref zero = boundary::integer(0);
    return Ref::steal(PyObject_GetItem(message.attr(n_content).get(), zero.get())).attr(n_text);
}

// The answer's members onto a result, each with the default the prompt's schema implies.
Ref decoded_result(PyObject* data, PyObject* response_text) {
    static Text no_text("");
    Ref result_class = module.global(n_result);
    Ref half = boundary::floating(0.5);
    auto member = [&](Name& name, PyObject* fallback) { return boundary::get_item(data, name, fallback); };
    auto member_or_new_list = [&](Name& name) { return member(name, Ref::steal(PyList_New(0)).get()); };
    Ref score = member(n_completeness_score, half.get());
    Ref reasoning = member(n_completeness_reasoning, no_text);
    Ref sufficient = member(n_sufficient_for_prd, Py_False);
    Ref gaps = member_or_new_list(n_gaps);
    Ref insights = member_or_new_list(n_insights);
    Ref data_points = member_or_new_list(n_data_points_found);
    Ref notes = member_or_new_list(n_architecture_notes);
    Ref summary = member(n_summary, no_text);
    return boundary::call(result_class.get(), {},
                          {{n_completeness_score, score.get()},
                           {n_completeness_reasoning, reasoning.get()},
                           {n_sufficient_for_prd, sufficient.get()},
                           {n_gaps, gaps.get()},
                           {n_insights, insights.get()},
                           {n_data_points_found, data_points.get()},
                           {n_architecture_notes, notes.get()},
                           {n_summary, summary.get()},
                           {n_raw_response, response_text}});
}

// The guarded part: the model call, the decode and the mapping.
Ref ask_and_decode(PyObject* use_proxy, const ModelCall& call) {
    Ref response_text = boundary::truthy(use_proxy) ? ask_relay(call) : ask_directly(call);
    Ref json_text = module.global(n_extract_json)(response_text);
    Ref data = module.global(n_json).attr(n_loads)(json_text);
    return decoded_result(data.get(), response_text.get());
}

// A failed request (an error of the Exception family) becomes a warning and
// an empty result.
Ref failed_analysis(const boundary::Caught& caught) {
    if (is_decode_error(caught)) {
        log_warning(with_error_text("AI analysis JSON parse failed: ", caught.error()).get());
        return empty_result(with_error_text("JSON parse error: ", caught.error()).get());
    }
    log_warning(with_error_text("AI analysis failed: ", caught.error()).get());
    return empty_result(Ref::steal(PyObject_Str(caught.error())).get());
}

Ref analyze_requirements(const Args& a) {
    PyObject* api_client = a.get(2);
    Ref use_proxy = proxy_choice(api_client);
    if (!boundary::truthy(use_proxy.get()) && !boundary::truthy(config().attr(n_api_key).get())) {
        static Text no_key("No ANTHROPIC_API_KEY \xe2\x80\x94 AI analysis skipped");
        return empty_result(no_key);
    }
    Ref prompt = filled_prompt(a.get(0), a.get(1));
    Ref get_model = config().attr(n_routing).attr(n_get);
    Ref reasoning_model = config().attr(n_reasoning);
    static Text analysis("analysis");
    Ref model = get_model(analysis.get(), reasoning_model);
    Ref max_tokens = config().attr(n_max_tokens_setting);
    return boundary::unless_exception(
        [&] { return ask_and_decode(use_proxy.get(), {api_client, prompt.get(), model.get(), max_tokens.get()}); },
        failed_analysis);
}

}  // namespace

bool is_decode_error(const boundary::Caught& caught) {
    static Name decode_error("JSONDecodeError");
    return caught.matches(module.global(n_json).attr(decode_error).get());
}

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
