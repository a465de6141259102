// _extract_json: narrows a model reply to its JSON and repairs common faults.
#include "gapscope/gapscope.hpp"
#include "gapscope/json_scan.hpp"

#include <algorithm>
#include <new>
#include <string_view>
#include <vector>

namespace gapscope {
namespace {

using boundary::Args;
using boundary::Conv;
using boundary::Name;
using boundary::Ref;
using boundary::Text;

Name n_json("json"), n_loads("loads"), n_logger("logger"), n_info("info"), n_strip("strip");

// The truncation repair tries at most this many prefixes, longest first.
constexpr Py_ssize_t truncation_window = 500;
constexpr std::string_view tagged_fence = "```json", plain_fence = "```";

// The interpreter's own json.loads, taken the first time it is needed and
// kept for the process.
PyObject* interpreters_loads() {
    static PyObject* loads = nullptr;
    if (!loads) loads = Ref::steal(PyImport_ImportModule("json")).attr(n_loads).release();
    return loads;
}

Ref module_loads() { return module.global(n_json).attr(n_loads); }

// The shortcuts below stand in for calls of json.loads, so they are taken
// only while the module's json.loads is still the interpreter's own.
bool loads_is_interpreters() { return module_loads().is(interpreters_loads()); }

// json.loads(text): true when it returns, false on json.JSONDecodeError;
// any other error propagates.
bool parses(PyObject* text) {
    if (Ref::steal_maybe(PyObject_CallOneArg(module_loads().get(), text))) return true;
    boundary::Caught caught;
    if (is_decode_error(caught)) return false;
    caught.reraise();
}

void log_info(PyObject* message) { boundary::call_method(module.global(n_logger).get(), n_info, {message}); }

Ref substring(PyObject* text, Py_ssize_t start, Py_ssize_t end) {
    return Ref::steal(PyUnicode_Substring(text, start, end));
}

Py_ssize_t find_char(PyObject* text, Py_UCS4 c, int direction) {
    const Py_ssize_t at = PyUnicode_FindChar(text, c, 0, PyUnicode_GET_LENGTH(text), direction);
    if (at == -2) boundary::throw_error();
    return at;
}

// The block opened by the first `fence`, up to the next plain fence or the
// end, stripped; empty when the text holds no such fence.
Ref fenced_block(PyObject* text, std::string_view fence) {
    const Py_ssize_t at = find_ascii(text, fence, 0);
    if (at < 0) return {};
    const auto start = at + static_cast<Py_ssize_t>(fence.size());
    Py_ssize_t end = find_ascii(text, plain_fence, start);
    if (end < 0) end = PyUnicode_GET_LENGTH(text);
    return boundary::call_method(substring(text, start, end).get(), n_strip);
}

Ref without_fences(const Ref& text) {
    Ref block = fenced_block(text.get(), tagged_fence);
    if (!block) block = fenced_block(text.get(), plain_fence);
    return block ? block : text;
}

// From the first "{" through the last "}" (empty when the last comes first).
Ref brace_cut(const Ref& text) {
    const Py_ssize_t first = find_char(text.get(), '{', 1), last = find_char(text.get(), '}', -1);
    if (first < 0 || last < 0) return text;
    return substring(text.get(), first, last + 1);
}

// The trailing-comma repair: a comma and the whitespace after it are dropped
// when a closing bracket follows, and a line feed right before the closing
// quote of a string becomes backslash-n.  Commas count only outside strings
// and line feeds only inside them, so neither the model's text nor the
// layout between members is touched.
template <class Char>
bool matters_in_string(Char c) {
    return c == '"' || c == '\\' || c == '\n';
}

template <class Char>
class CommaRepair {
public:
    explicit CommaRepair(std::span<const Char> text) : text_(text) {}

    // One change: text[start:end] becomes `replacement`.
    struct Edit {
        std::size_t start, end;
        std::string_view replacement;
    };

    // The next change at or after `from`; start == n when there is none.
    Edit next_edit(std::size_t from) {
        const std::size_t n = text_.size();
        for (std::size_t i = from; i < n; ++i) {
            if (in_string_) {
                while (i < n && !matters_in_string(text_[i])) ++i;
                if (i == n) break;
                const Char c = text_[i];
                if (c == '\\') ++i;  // an escape pair is passed over whole
                else if (c == '"') in_string_ = false;
                else if (i + 1 < n && text_[i + 1] == '"') return {i, i + 1, "\\n"};  // a line feed
            } else {
                while (i < n && text_[i] != '"' && text_[i] != ',') ++i;
                if (i == n) break;
                if (text_[i] == '"') {
                    in_string_ = true;
                    continue;
                }
                std::size_t j = i + 1;
                while (j < n && Py_UNICODE_ISSPACE(text_[j])) ++j;  // what `\s` matches
                if (j < n && (text_[j] == '}' || text_[j] == ']')) return {i, j, ""};  // the bracket stays
            }
        }
        return {n, n, ""};
    }

private:
    std::span<const Char> text_;
    bool in_string_ = false;
};

// The repaired text, or empty when the repair changes nothing.
template <class Char>
Ref repaired_trailing_commas(std::span<const Char> text, int kind) {
    CommaRepair<Char> repair(text);
    auto edit = repair.next_edit(0);
    if (edit.start == text.size()) return {};
    std::vector<Char> out;
    out.reserve(text.size() + 16);
    std::size_t kept_from = 0;
    for (; edit.start < text.size(); edit = repair.next_edit(edit.end)) {
        out.insert(out.end(), text.begin() + kept_from, text.begin() + edit.start);
        out.insert(out.end(), edit.replacement.begin(), edit.replacement.end());
        kept_from = edit.end;
    }
    out.insert(out.end(), text.begin() + kept_from, text.end());
    return Ref::steal(PyUnicode_FromKindAndData(kind, out.data(), static_cast<Py_ssize_t>(out.size())));
}

Ref repaired_trailing_commas(PyObject* text) {
    const int kind = PyUnicode_KIND(text);
    return with_code_points(text, [&](auto chars) { return repaired_trailing_commas(chars, kind); });
}

struct Truncation {
    Ref candidate;  // empty when no prefix parses
    Py_ssize_t length = 0;
};

// The truncation repair as written: every balanced candidate through json.loads.
Truncation truncation_by_parsing(PyObject* text, Py_ssize_t lowest) {
    const std::vector<Py_ssize_t> balanced =
        with_code_points(text, [&](auto chars) { return balanced_prefixes(chars, lowest); });
    for (Py_ssize_t i : balanced) {
        Ref candidate = substring(text, 0, i);
        if (parses(candidate.get())) return {candidate, i};
    }
    return {};
}

// The truncation repair: the longest prefix within the window, with balanced
// bracket counts, that parses.  The scan picks it in one pass and only that
// candidate goes to json.loads; should the parser disagree, every candidate
// is asked again in order.
Truncation truncation(PyObject* text) {
    const Py_ssize_t lowest = std::max<Py_ssize_t>(0, PyUnicode_GET_LENGTH(text) - truncation_window) + 1;
    if (loads_is_interpreters()) {
        const Py_ssize_t length = longest_parsing_prefix(text, lowest);
        if (length < 0) return {};
        Ref candidate = substring(text, 0, length);
        if (parses(candidate.get())) return {candidate, length};
    }
    return truncation_by_parsing(text, lowest);
}

// Narrows `text` step by step (the caller returns it as it stands when an
// error ends the work early) and returns the JSON text.
Ref extract(Ref& text) {
    text = without_fences(text);
    text = brace_cut(text);
    if (parses(text.get())) return text;

    Ref repaired = repaired_trailing_commas(text.get());
    // An unchanged text would fail to parse exactly as it just did.
    const bool worth_parsing = repaired || !loads_is_interpreters();
    if (!repaired) repaired = text;
    if (worth_parsing && parses(repaired.get())) {
        static Text comma_fix("JSON repaired successfully (trailing comma fix)");
        log_info(comma_fix);
        return repaired;
    }

    Truncation found = truncation(text.get());
    if (!found.candidate) return text;
    Ref message = Ref::steal(PyUnicode_FromFormat("JSON repaired by truncation at char %zd/%zd", found.length,
                                                  PyUnicode_GET_LENGTH(text.get())));
    log_info(message.get());
    return found.candidate;
}

Ref extract_json(const Args& a) {
    // An error of the Exception family ends the work quietly, with the text
    // as far as it was narrowed.
    Ref text = a[0];
    Ref found = boundary::unless_exception([&] { return extract(text); });
    return found ? found : text;
}

}  // namespace

const boundary::FunctionSpec extract_json_spec{
    "_extract_json", "_extract_json", "Extract JSON from a response, with repair for common Claude JSON issues.", "str",
    {{"text", "str", Conv::Str}}, extract_json};

}  // namespace gapscope
