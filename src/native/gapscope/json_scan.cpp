// A validating JSON scanner that accepts exactly what the interpreter's
// json.loads accepts (its C scanner with strict strings): whitespace is
// " \t\n\r", any value may stand at the top, NaN, Infinity and -Infinity are
// values, strings may not hold raw control characters, numbers are ASCII
// digits.  It builds nothing; it only finds where the top-level value ends.
//
// A prefix text[:i] parses when the value that starts after the leading
// whitespace ends at some e <= i and text[e:i] is whitespace.  json.loads
// reads a prefix exactly as it reads the whole text up to i, so one scan of
// the whole text decides every prefix: a container, string or literal ends at
// one place, and a top-level number ends wherever the number grammar accepts.
//
// Failures other than decode errors (nesting deeper than the parser takes,
// an integer past the conversion limit) need no model here: a prefix only
// meets what the direct parse of the whole text met first, at the same depth,
// and that parse has already ended the extraction.
#include "gapscope/json_scan.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

namespace gapscope {
namespace {

constexpr Py_UCS4 byte_order_mark = 0xFEFF;

bool is_json_space(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }
bool is_digit(Py_UCS4 c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(Py_UCS4 c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_simple_escape(Py_UCS4 c) {
    return c == '"' || c == '\\' || c == '/' || c == 'b' || c == 'f' || c == 'n' || c == 'r' || c == 't';
}

// Characters that end a run of plain string content: the closing quote, a
// backslash, and the control characters that strict strings refuse.
constexpr std::array<bool, 256> string_stops = [] {
    std::array<bool, 256> stops{};
    for (int c = 0; c < 0x20; ++c) stops[c] = true;
    stops['"'] = stops['\\'] = true;
    return stops;
}();

template <class Char>
bool ends_string_run(Char c) {
    if constexpr (sizeof(Char) == 1) return string_stops[c];
    else return c < 256 && string_stops[c];
}

template <class Char>
class ValueScanner {
public:
    explicit ValueScanner(std::span<const Char> text) : text_(text), n_(static_cast<Py_ssize_t>(text.size())) {}

    // Every e such that text[:e] is leading whitespace and one whole value,
    // ascending.  Empty when the value is malformed or cut off.
    std::vector<Py_ssize_t> value_ends() const {
        const Py_ssize_t start = skip_space(0);
        if (start >= n_) return {};
        const Char first = text_[start];
        const bool number = (first == '-' && !matches(start, "-Infinity")) || is_digit(first);
        if (number) return number_ends(start);
        const Py_ssize_t end = value_end(start);
        if (end < 0) return {};
        return {end};
    }

private:
    bool at(Py_ssize_t i, char c) const { return i < n_ && text_[i] == static_cast<Char>(c); }

    bool matches(Py_ssize_t i, std::string_view literal) const {
        if (i + static_cast<Py_ssize_t>(literal.size()) > n_) return false;
        for (char c : literal)
            if (text_[i++] != static_cast<Char>(c)) return false;
        return true;
    }

    Py_ssize_t skip_space(Py_ssize_t i) const {
        while (i < n_ && is_json_space(text_[i])) ++i;
        return i;
    }

    // The end of the value starting at i, or -1.  Containers are tracked on
    // an explicit stack: nesting depth costs memory, never native stack.
    Py_ssize_t value_end(Py_ssize_t i) const {
        std::vector<bool> open;  // true: an object, false: an array
        for (;;) {
            if (i >= n_) return -1;
            const Char c = text_[i];
            if (c == '{' || c == '[') {
                const bool object = c == '{';
                i = skip_space(i + 1);
                if (at(i, object ? '}' : ']')) {
                    ++i;
                } else {
                    open.push_back(object);
                    if (object) i = member_value_start(i);
                    if (i < 0) return -1;
                    continue;
                }
            } else if (c == '"') {
                i = string_end(i + 1);
            } else {
                i = scalar_end(i);
            }
            // After a value: close what ends here, or step to the next item.
            for (;;) {
                if (i < 0) return -1;
                if (open.empty()) return i;
                const bool object = open.back();
                i = skip_space(i);
                if (at(i, object ? '}' : ']')) {
                    open.pop_back();
                    ++i;
                    continue;
                }
                if (!at(i, ',')) return -1;
                i = skip_space(i + 1);
                if (object) i = member_value_start(i);
                if (i < 0) return -1;
                break;
            }
        }
    }

    // At a member of an object: the key, the colon; returns where the value starts.
    Py_ssize_t member_value_start(Py_ssize_t i) const {
        if (!at(i, '"')) return -1;
        i = string_end(i + 1);
        if (i < 0) return -1;
        i = skip_space(i);
        if (!at(i, ':')) return -1;
        return skip_space(i + 1);
    }

    // From just after the opening quote to just after the closing one.
    Py_ssize_t string_end(Py_ssize_t i) const {
        for (;;) {
            while (i < n_ && !ends_string_run(text_[i])) ++i;
            if (i >= n_ || text_[i] < 0x20) return -1;
            if (text_[i] == '"') return i + 1;
            ++i;  // past the backslash
            if (i >= n_) return -1;
            if (text_[i] == 'u') {
                // Four hex digits, and the parser wants a character after them.
                if (i + 5 >= n_) return -1;
                for (Py_ssize_t k = 1; k <= 4; ++k)
                    if (!is_hex_digit(text_[i + k])) return -1;
                i += 5;
            } else if (is_simple_escape(text_[i])) {
                ++i;
            } else {
                return -1;
            }
        }
    }

    Py_ssize_t scalar_end(Py_ssize_t i) const {
        struct Literal {
            char first;
            std::string_view text;
        };
        static constexpr Literal literals[] = {{'n', "null"},    {'t', "true"},      {'f', "false"},
                                               {'N', "NaN"},     {'I', "Infinity"},  {'-', "-Infinity"}};
        for (const Literal& literal : literals)
            if (text_[i] == static_cast<Char>(literal.first) && matches(i, literal.text))
                return i + static_cast<Py_ssize_t>(literal.text.size());
        return number_end(i);
    }

    // The number at i read greedily, as the parser reads it inside a container.
    Py_ssize_t number_end(Py_ssize_t i) const {
        if (at(i, '-')) ++i;
        if (i >= n_) return -1;
        if (text_[i] == '0') {
            ++i;
        } else if (is_digit(text_[i])) {
            while (i < n_ && is_digit(text_[i])) ++i;
        } else {
            return -1;
        }
        if (at(i, '.') && i + 1 < n_ && is_digit(text_[i + 1])) {
            i += 2;
            while (i < n_ && is_digit(text_[i])) ++i;
        }
        if (at(i, 'e') || at(i, 'E')) {
            Py_ssize_t j = i + 1;
            if (at(j, '-') || at(j, '+')) ++j;
            if (j < n_ && is_digit(text_[j])) {
                while (j < n_ && is_digit(text_[j])) ++j;
                i = j;
            }
        }
        return i;
    }

    // Every end at which text[start:end] is a whole number: the number
    // grammar run as a state machine until it can go no further.
    std::vector<Py_ssize_t> number_ends(Py_ssize_t start) const {
        enum State { Start, Minus, Zero, Integer, Dot, Fraction, Exponent, ExponentSign, ExponentDigits, Dead };
        std::vector<Py_ssize_t> ends;
        State state = Start;
        for (Py_ssize_t i = start; i < n_ && state != Dead; ++i) {
            const Char c = text_[i];
            const bool digit = is_digit(c), e = c == 'e' || c == 'E';
            switch (state) {
                case Start: state = c == '-' ? Minus : c == '0' ? Zero : digit ? Integer : Dead; break;
                case Minus: state = c == '0' ? Zero : digit ? Integer : Dead; break;
                case Zero: state = c == '.' ? Dot : e ? Exponent : Dead; break;
                case Integer: state = digit ? Integer : c == '.' ? Dot : e ? Exponent : Dead; break;
                case Dot: state = digit ? Fraction : Dead; break;
                case Fraction: state = digit ? Fraction : e ? Exponent : Dead; break;
                case Exponent: state = c == '-' || c == '+' ? ExponentSign : digit ? ExponentDigits : Dead; break;
                case ExponentSign:
                case ExponentDigits: state = digit ? ExponentDigits : Dead; break;
                case Dead: break;
            }
            if (state == Zero || state == Integer || state == Fraction || state == ExponentDigits) ends.push_back(i + 1);
        }
        return ends;
    }

    std::span<const Char> text_;
    Py_ssize_t n_;
};

template <class Char>
Py_ssize_t longest_parsing_prefix_of(std::span<const Char> text, Py_ssize_t lowest) {
    const auto n = static_cast<Py_ssize_t>(text.size());
    if (lowest > n || text.empty() || text[0] == byte_order_mark) return -1;
    const std::vector<Py_ssize_t> balanced = balanced_prefixes(text, lowest);
    if (balanced.empty()) return -1;

    const std::vector<Py_ssize_t> ends = ValueScanner<Char>(text).value_ends();
    if (ends.empty()) return -1;

    // space_start[i - lowest]: where the whitespace at the end of text[:i] begins.
    std::vector<Py_ssize_t> space_start(static_cast<std::size_t>(n - lowest + 1));
    Py_ssize_t run = lowest;
    while (run > 0 && is_json_space(text[run - 1])) --run;
    for (Py_ssize_t i = lowest; i <= n; ++i) {
        if (i > lowest && !is_json_space(text[i - 1])) run = i;
        space_start[static_cast<std::size_t>(i - lowest)] = run;
    }
    for (Py_ssize_t i : balanced)
        if (std::binary_search(ends.begin(), ends.end(), space_start[static_cast<std::size_t>(i - lowest)])) return i;
    return -1;
}

template <class Char>
Py_ssize_t find_ascii_in(std::span<const Char> text, std::string_view needle, Py_ssize_t start) {
    const auto n = static_cast<Py_ssize_t>(text.size()), m = static_cast<Py_ssize_t>(needle.size());
    const Char* begin = text.data();
    for (Py_ssize_t i = start; i + m <= n; ++i) {
        // Jump to the next candidate first character.
        const Char* last_start = begin + (n - m) + 1;
        const Char* at;
        if constexpr (sizeof(Char) == 1)
            at = static_cast<const Char*>(std::memchr(begin + i, needle[0], static_cast<std::size_t>(last_start - (begin + i))));
        else
            at = std::find(begin + i, last_start, static_cast<Char>(needle[0]));
        if (!at || at == last_start) return -1;
        i = at - begin;
        if (std::equal(needle.begin(), needle.end(), at, [](char a, Char b) { return static_cast<Char>(a) == b; })) return i;
    }
    return -1;
}

}  // namespace

Py_ssize_t find_ascii(PyObject* text, std::string_view needle, Py_ssize_t start) {
    return with_code_points(text, [&](auto chars) { return find_ascii_in(chars, needle, start); });
}

Py_ssize_t longest_parsing_prefix(PyObject* text, Py_ssize_t lowest) {
    return with_code_points(text, [&](auto chars) { return longest_parsing_prefix_of(chars, lowest); });
}

}  // namespace gapscope
