// The console report: completeness label, one gap with its impact, the full analysis.
//
// Every line goes through the `print` bound at import or through a message
// operation of `display`, which is looked up in the module namespace at each
// use.  Nothing is caught: an exception leaves the function and the lines
// already written stay written.
//
// The report must print whatever an analysis can hold, so a gap or insight
// that is not a dict is passed over, and an impact level that is not a str
// (a JSON null, a number, a list) is shown through str() and ranks as an
// unknown level.  Text from the model reaches the terminal with its control
// characters escaped (console::terminal_safe), so it cannot drive the
// terminal; every fixed text is written as it is.
#include "gapscope/report_console.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace gapscope {
namespace {

using boundary::Args;
using boundary::Conv;
using boundary::Name;
using boundary::Ref;
using boundary::Text;

// ------------------------------------------------------------ writing lines

// The pieces (str objects) joined into one new str.
Ref concat(std::initializer_list<PyObject*> pieces) {
    Py_ssize_t length = 0;
    Py_UCS4 max_char = 127;
    for (PyObject* piece : pieces) {
        length += PyUnicode_GET_LENGTH(piece);
        max_char = std::max<Py_UCS4>(max_char, PyUnicode_MAX_CHAR_VALUE(piece));
    }
    Ref joined = Ref::steal(PyUnicode_New(length, max_char));
    const int kind = PyUnicode_KIND(joined.get());
    auto* data = static_cast<char*>(PyUnicode_DATA(joined.get()));
    Py_ssize_t at = 0;
    for (PyObject* piece : pieces) {
        const Py_ssize_t n = PyUnicode_GET_LENGTH(piece);
        if (PyUnicode_KIND(piece) == kind) {
            std::memcpy(data + at * kind, PyUnicode_DATA(piece), static_cast<std::size_t>(n) * kind);
        } else if (PyUnicode_CopyCharacters(joined.get(), at, piece, 0, n) < 0) {
            boundary::throw_error();
        }
        at += n;
    }
    return joined;
}

using console::display_op;

void print_line(PyObject* text) { console::print_line(text); }
void print_line(const Ref& text) { console::print_line(text.get()); }
void print_empty_line() { console::print_line(nullptr); }

// display.<op>(text) for a message operation; its result is ignored.
void message(Name& op, PyObject* text) {
    Ref operation = display_op(op);
    operation(text);
}

// str(display.<op>(value)) for a style operation.  The operation is looked up
// before its argument is made, as `display.dim(f"...")` evaluates.
template <class MakeValue>
Ref styled_with(Name& op, MakeValue make_value) {
    Ref operation = display_op(op);
    Ref value = make_value();
    return boundary::to_str(operation(value).get());
}
Ref styled(Name& op, PyObject* constant) {
    return styled_with(op, [&] { return Ref::borrow(constant); });
}

Name n_red("red"), n_yellow("yellow"), n_bold("bold"), n_dim("dim"), n_narrative("narrative"), n_info("info"),
    n_warning("warning"), n_success("success"), n_confidence_bar("confidence_bar");

// str(value) of a value from the model, as a terminal may safely show it.
Ref shown(PyObject* value) { return console::terminal_safe(boundary::to_str(value).get()); }
Ref shown(const Ref& value) { return shown(value.get()); }

// A dim line of model text: print(str(display.dim(prefix + str(value)))).
void print_dim_line(PyObject* prefix, PyObject* value) {
    print_line(styled_with(n_dim, [&] { return concat({prefix, shown(value).get()}); }));
}

// ------------------------------------------------------------ records

Name n_impact_level("impact_level"), n_title("title"), n_description("description"), n_risk("risk_if_skipped"),
    n_impact_on_prd("impact_on_prd"), n_impact_on_trd("impact_on_trd"), n_severity("severity"),
    n_recommendation("recommendation"), n_upper("upper");
Text t_empty(""), t_unknown("unknown"), t_minor("minor"), t_critical("critical"), t_significant("significant"),
    t_important("important"), t_critical_upper("CRITICAL"), t_significant_upper("SIGNIFICANT");

// Gap and insight records are dicts; the model may write anything else.
bool is_record(PyObject* value) { return PyDict_Check(value); }

// value == word, for a str constant `word`.
bool equals(PyObject* value, PyObject* word) { return boundary::equal(value, word); }

// An impact level names a severity only when it is a str (case-sensitive).
bool is_level(PyObject* level, PyObject* word) { return PyUnicode_Check(level) && equals(level, word); }

// record[key], after `record.get(key)` was found true.
Ref subscript(PyObject* record, PyObject* key) { return Ref::steal(PyObject_GetItem(record, key)); }

template <class Fn>
void for_each(PyObject* iterable, Fn fn) {
    Ref iterator = Ref::steal(PyObject_GetIter(iterable));
    while (Ref item = Ref::steal_maybe(PyIter_Next(iterator.get()))) fn(item.get());
    if (PyErr_Occurred()) boundary::throw_error();
}

// ------------------------------------------------------------ _completeness_label

Text t_excellent("Excellent"), t_good("Good"), t_fair("Fair"), t_poor("Poor");

// The band of the truncated percentage.  NaN fails every comparison and lands
// on "Poor"; the infinities land on the band of their sign.
PyObject* completeness_band(double score) {
    const double pct = std::trunc(score * 100.0);
    if (pct >= 80) return t_excellent;
    if (pct >= 60) return t_good;
    if (pct >= 40) return t_fair;
    return t_poor;
}

Ref completeness_label(const Args& a) { return Ref::borrow(completeness_band(PyFloat_AS_DOUBLE(a.get(0)))); }

// ------------------------------------------------------------ display_gap_with_impact

Text t_two_spaces("  "), t_four_spaces("    "), t_space(" "), t_gap_heading("Gap "), t_colon(": "),
    t_impact_label("  Impact: "), t_prd_caption("PRD impact:"), t_trd_caption("TRD impact:"),
    t_risk_caption("Risk if skipped:"), t_unknown_title("Unknown");

// The colour of the impact word, chosen on the raw level.
Name& impact_colour(PyObject* level) {
    if (is_level(level, t_critical)) return n_red;
    if (is_level(level, t_significant)) return n_yellow;
    return n_dim;
}

// The impact word: a str level upper-cased; anything else as str() shows it.
Ref impact_word(PyObject* level) {
    if (PyUnicode_Check(level)) return boundary::call_method(level, n_upper);
    return boundary::to_str(level);
}

// "    <caption> <gap[key]>" when gap.get(key) is true.
void print_optional_impact(PyObject* gap, PyObject* key, Name& colour, PyObject* caption) {
    Ref value = boundary::get_item(gap, key, nullptr);
    if (!boundary::truthy(value.get())) return;
    Ref styled_caption = styled(colour, caption);
    Ref text = shown(subscript(gap, key));
    print_line(concat({t_four_spaces, styled_caption.get(), t_space, text.get()}));
}

Ref display_gap_with_impact(const Args& a) {
    PyObject* gap = a.get(0);
    Ref level = boundary::get_item(gap, n_impact_level, t_unknown);
    Ref colour = display_op(impact_colour(level.get()));
    print_empty_line();

    Ref title = boundary::get_item(gap, n_title, t_unknown_title);
    Ref heading = styled_with(n_bold, [&] {
        return concat({t_gap_heading, boundary::to_str(a.get(1)).get(), t_colon, shown(title).get()});
    });
    print_line(concat({t_two_spaces, heading.get()}));

    Ref word = boundary::to_str(colour(console::terminal_safe(impact_word(level.get()).get())).get());
    print_line(concat({t_impact_label, word.get()}));

    Ref description = boundary::get_item(gap, n_description, t_empty);
    print_line(concat({t_two_spaces, shown(description).get()}));

    print_optional_impact(gap, n_impact_on_prd, n_yellow, t_prd_caption);
    print_optional_impact(gap, n_impact_on_trd, n_yellow, t_trd_caption);
    print_optional_impact(gap, n_risk, n_red, t_risk_caption);
    return boundary::none();
}

// ------------------------------------------------------------ display_analysis

Name n_summary("summary"), n_data_points("data_points_found"), n_score("completeness_score"),
    n_reasoning("completeness_reasoning"), n_gaps("gaps"), n_insights("insights"), n_notes("architecture_notes"),
    n_sufficient("sufficient_for_prd"), n_completeness_label("_completeness_label");

Ref read(PyObject* result, Name& attribute) { return Ref::steal(PyObject_GetAttr(result, attribute.get())); }
bool is_true(PyObject* result, Name& attribute) { return boundary::truthy(read(result, attribute).get()); }

Text t_line_feed("\n"), t_data_points_heading("Data points I extracted from your answers:"),
    t_bar_label("Requirements Completeness"), t_completeness("  Completeness: "), t_two_decimals(".2f"),
    t_out_of_one(" / 1.0 ("), t_close(")");

void print_summary(PyObject* result) {
    if (!is_true(result, n_summary)) return;
    Ref summary = read(result, n_summary);
    Ref text = concat({t_line_feed, shown(summary).get()});
    message(n_narrative, text.get());
}

// A list attribute shown under an info heading, one dim line per item; nothing when it is empty.
void print_headed_list(PyObject* result, Name& attribute, PyObject* heading, PyObject* prefix) {
    if (!is_true(result, attribute)) return;
    print_empty_line();
    message(n_info, heading);
    for_each(read(result, attribute).get(), [prefix](PyObject* item) { print_dim_line(prefix, item); });
}

void print_completeness(PyObject* result) {
    print_empty_line();
    Ref label = module.global(n_completeness_label)(read(result, n_score));
    Ref bar = display_op(n_confidence_bar);
    bar(read(result, n_score), t_bar_label.get());
    Ref score = Ref::steal(PyObject_Format(read(result, n_score).get(), t_two_decimals));
    print_line(concat({t_completeness, score.get(), t_out_of_one, boundary::to_str(label.get()).get(), t_close}));
    if (is_true(result, n_reasoning)) print_dim_line(t_two_spaces, read(result, n_reasoning).get());
}

// -- gaps

// Rank of a gap: severity_order.get(gap.get("impact_level", "minor"), 3),
// where only a str can name a rank.
int gap_rank(PyObject* severity_order, PyObject* gap) {
    Ref level = boundary::get_item(gap, n_impact_level, t_minor);
    if (!PyUnicode_Check(level.get())) return 3;
    PyObject* rank = PyDict_GetItemWithError(severity_order, level.get());
    if (!rank) {
        if (PyErr_Occurred()) boundary::throw_error();
        return 3;
    }
    return static_cast<int>(PyLong_AsLong(rank));
}

Ref make_severity_order() {
    Ref order = Ref::steal(PyDict_New());
    const std::pair<PyObject*, long long> ranks[] = {{t_critical, 0}, {t_significant, 1}, {t_minor, 2}};
    for (const auto& [level, rank] : ranks)
        boundary::check(PyDict_SetItem(order.get(), level, boundary::integer(rank).get()));
    return order;
}

struct RankedGap {
    Ref gap;
    int rank;
};

// The gap records, stably sorted by rank; `gaps` itself is left as it is.
std::vector<RankedGap> sorted_gaps(PyObject* gaps) {
    Ref severity_order = make_severity_order();
    std::vector<RankedGap> ranked;
    for_each(gaps, [&](PyObject* gap) {
        if (is_record(gap)) ranked.push_back({Ref::borrow(gap), gap_rank(severity_order.get(), gap)});
    });
    std::stable_sort(ranked.begin(), ranked.end(), [](const RankedGap& x, const RankedGap& y) { return x.rank < y.rank; });
    return ranked;
}

Text t_high_tag("  HIGH   "), t_medium_tag("  MEDIUM "), t_low_tag("  LOW    "), t_unknown_gap("Unknown gap"),
    t_gap_indent("           "), t_risk_prefix("           Risk: ");

enum class Tag { high, medium, low };

// The tag follows the upper-cased level, so "Critical" is tagged HIGH.
Tag gap_tag(PyObject* level) {
    if (!PyUnicode_Check(level)) return Tag::low;
    Ref upper = boundary::call_method(level, n_upper);
    if (equals(upper.get(), t_critical_upper)) return Tag::high;
    if (equals(upper.get(), t_significant_upper)) return Tag::medium;
    return Tag::low;
}

Ref styled_tag(Tag tag) {
    switch (tag) {
        case Tag::high: return styled(n_red, t_high_tag);
        case Tag::medium: return styled(n_yellow, t_medium_tag);
        case Tag::low: break;
    }
    return styled(n_dim, t_low_tag);
}

void print_gap_line(PyObject* gap) {
    const Tag tag = gap_tag(boundary::get_item(gap, n_impact_level, t_unknown).get());
    Ref title = boundary::get_item(gap, n_title, t_unknown_gap);
    Ref tag_text = styled_tag(tag);
    print_line(concat({tag_text.get(), shown(title).get()}));
    Ref description = boundary::get_item(gap, n_description, t_empty);
    if (boundary::truthy(description.get())) print_dim_line(t_gap_indent, description.get());
    Ref risk = boundary::get_item(gap, n_risk, t_empty);
    if (boundary::truthy(risk.get())) print_dim_line(t_risk_prefix, risk.get());
}

// Gap records of result.gaps whose level is exactly "critical".
Py_ssize_t count_critical_gaps(PyObject* result) {
    Py_ssize_t count = 0;
    for_each(read(result, n_gaps).get(), [&](PyObject* gap) {
        if (!is_record(gap)) return;
        if (is_level(boundary::get_item(gap, n_impact_level, nullptr).get(), t_critical)) ++count;
    });
    return count;
}

Text t_gaps_heading("Gaps found:"), t_you_can("You can:"),
    t_option_continue("  1. Continue anyway (gaps will show as [LIMITED DATA] in documents)"),
    t_option_answer("  2. Answer follow-up questions to fill critical gaps"),
    t_option_attach("  3. Attach a document that covers the gaps (/file)"),
    t_no_gaps("No gaps identified \xe2\x80\x94 requirements look comprehensive.");

void print_gaps(PyObject* result) {
    if (!is_true(result, n_gaps)) {
        print_empty_line();
        message(n_success, t_no_gaps);
        return;
    }
    print_empty_line();
    message(n_info, t_gaps_heading);
    for (const RankedGap& ranked : sorted_gaps(read(result, n_gaps).get())) print_gap_line(ranked.gap.get());
    print_empty_line();
    if (count_critical_gaps(result) > 0) {
        message(n_info, t_you_can);
        print_line(t_option_continue);
        print_line(t_option_answer);
        print_line(t_option_attach);
    }
}

// -- insights

Text t_critical_heading("Critical issues identified:"), t_important_heading("Important considerations:"),
    t_bang("!"), t_star("*"), t_six_spaces("      "), t_recommendation_prefix("      Recommendation: ");

// The insight records of result.insights whose severity equals `severity`.
std::vector<Ref> insights_of(PyObject* result, PyObject* severity) {
    std::vector<Ref> selected;
    for_each(read(result, n_insights).get(), [&](PyObject* insight) {
        if (!is_record(insight)) return;
        if (equals(boundary::get_item(insight, n_severity, nullptr).get(), severity)) selected.push_back(Ref::borrow(insight));
    });
    return selected;
}

// "    <marker> <bold title>" then "      <description>".
void print_insight_lines(PyObject* insight, Name& marker_colour, PyObject* marker) {
    Ref styled_marker = styled(marker_colour, marker);
    // The title goes to display.bold unconverted; only a str can hold control characters.
    Ref title = styled_with(n_bold, [&] {
        Ref value = boundary::get_item(insight, n_title, t_empty);
        return PyUnicode_Check(value.get()) ? console::terminal_safe(value.get()) : value;
    });
    print_line(concat({t_four_spaces, styled_marker.get(), t_space, title.get()}));
    Ref description = boundary::get_item(insight, n_description, t_empty);
    print_line(concat({t_six_spaces, shown(description).get()}));
}

void print_insights(PyObject* result) {
    const std::vector<Ref> critical = insights_of(result, t_critical);
    const std::vector<Ref> important = insights_of(result, t_important);
    if (!critical.empty()) {
        print_empty_line();
        message(n_warning, t_critical_heading);
        for (const Ref& insight : critical) {
            print_insight_lines(insight.get(), n_red, t_bang);
            Ref recommendation = boundary::get_item(insight.get(), n_recommendation, nullptr);
            if (boundary::truthy(recommendation.get()))
                print_dim_line(t_recommendation_prefix, subscript(insight.get(), n_recommendation).get());
        }
    }
    if (!important.empty()) {
        print_empty_line();
        message(n_info, t_important_heading);
        for (const Ref& insight : important) print_insight_lines(insight.get(), n_yellow, t_star);
    }
}

// -- architecture notes and verdict

Text t_notes_heading("Architecture recommendations:"), t_note_prefix("    > "),
    t_sufficient("Requirements are sufficient to generate a strong PRD and TRD."),
    t_more_detail("More detail would strengthen the output. "), t_critical_gap(" critical gap"), t_plural("s"),
    t_found(" found.");

void print_verdict(PyObject* result) {
    print_empty_line();
    if (is_true(result, n_sufficient)) {
        message(n_success, t_sufficient);
        return;
    }
    const Py_ssize_t n = count_critical_gaps(result);
    Ref count = Ref::steal(PyLong_FromSsize_t(n));
    Ref count_text = boundary::to_str(count.get());
    Ref text = concat({t_more_detail, count_text.get(), t_critical_gap, n == 1 ? t_empty.get() : t_plural.get(), t_found});
    message(n_info, text.get());
}

Ref display_analysis(const Args& a) {
    PyObject* result = a.get(0);
    print_summary(result);
    print_headed_list(result, n_data_points, t_data_points_heading, t_four_spaces);
    print_completeness(result);
    print_gaps(result);
    print_insights(result);
    print_headed_list(result, n_notes, t_notes_heading, t_note_prefix);
    print_verdict(result);
    return boundary::none();
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
