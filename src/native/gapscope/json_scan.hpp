// Reading str objects as code points, and the one-pass search for the longest
// prefix of a reply that the interpreter's json.loads accepts.
#pragma once

#include "boundary/ref.hpp"

#include <span>
#include <string_view>
#include <vector>

namespace gapscope {

// Calls f with the str's code points as a std::span of Py_UCS1, Py_UCS2 or
// Py_UCS4, whichever the str stores, so loops run without a copy.
template <class F>
decltype(auto) with_code_points(PyObject* text, F&& f) {
    const void* data = PyUnicode_DATA(text);
    const auto length = static_cast<std::size_t>(PyUnicode_GET_LENGTH(text));
    switch (PyUnicode_KIND(text)) {
        case PyUnicode_1BYTE_KIND:
            return f(std::span<const Py_UCS1>(static_cast<const Py_UCS1*>(data), length));
        case PyUnicode_2BYTE_KIND:
            return f(std::span<const Py_UCS2>(static_cast<const Py_UCS2*>(data), length));
        default:
            return f(std::span<const Py_UCS4>(static_cast<const Py_UCS4*>(data), length));
    }
}

// Where `needle` (ASCII) first occurs in text at or after `start`, counted in
// code points; -1 when it does not.
Py_ssize_t find_ascii(PyObject* text, std::string_view needle, Py_ssize_t start);

// The candidates of the truncation repair, longest first: every i from
// len(text) down to `lowest` at which text[:i] holds as many "{" and "[" as
// "}" and "]", strings included.  The counts are kept as one running balance.
template <class Char>
std::vector<Py_ssize_t> balanced_prefixes(std::span<const Char> text, Py_ssize_t lowest) {
    auto weight = [](Char c) { return int{c == '{'} + int{c == '['} - int{c == '}'} - int{c == ']'}; };
    Py_ssize_t balance = 0;
    for (Char c : text) balance += weight(c);
    std::vector<Py_ssize_t> balanced;
    for (auto i = static_cast<Py_ssize_t>(text.size()); i >= lowest && i > 0; --i) {
        if (balance == 0) balanced.push_back(i);
        balance -= weight(text[static_cast<std::size_t>(i - 1)]);
    }
    return balanced;
}

// The largest i in [lowest, len(text)] such that text[:i] is balanced as
// above and json.loads(text[:i]) would return; -1 when there is none.  One
// pass over the text decides every candidate that the truncation repair
// would otherwise parse one by one.
Py_ssize_t longest_parsing_prefix(PyObject* text, Py_ssize_t lowest);

}  // namespace gapscope
