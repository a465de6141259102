// The text that json.dumps(obj, indent=2, default=str) gives, written in C++.
//
// With an indent the interpreter runs its pure-Python encoder
// (json.encoder._make_iterencode).  This writer follows it step by step: the
// same isinstance() checks in the same order, the same truth tests, the same
// iteration (dict.items() for dict subclasses, iter() for list subclasses),
// the same circular-reference markers and the same errors.  Exact built-in
// types take shortcuts that cannot be told apart from the generic steps.
// The writer is iterative, and raises RecursionError where the encoder's
// generators would run out of Python frames.
//
// From 3.13 on, json.dumps with an indent runs the interpreter's C encoder.
// Both encoders write documents of exact built-in types alike, so there the
// writer serves only such documents ("plain" ones) and gives up, writing
// nothing, at the first thing that is not: the caller then leaves the work to
// json.dumps.  Walking a plain document runs no Python code, so giving up
// midway leaves nothing changed.
#include "waymark/waymark.hpp"

#include "boundary/compat.hpp"

#include <algorithm>
#include <charconv>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <new>
#include <cmath>
#include <unordered_set>
#include <vector>

namespace waymark {
namespace {

using boundary::Ref;

// Python frames in use when the encoder opens its first container: the
// function saving the file, json.dumps, JSONEncoder.encode and _iterencode.
constexpr int frames_before_encoder = 4;

enum class Kind { Str, None, True, False, Int, Float, Sequence, Mapping, Other };

bool is_instance(PyObject* o, PyTypeObject* type) {
    return boundary::check(PyObject_IsInstance(o, reinterpret_cast<PyObject*>(type))) == 1;
}

// Thrown where a document stops being plain: exact str, int, float, list,
// tuple and dict, True, False and None, with no circular reference and no
// nesting near the limits of the interpreter's encoder.
struct NotPlain {};

// Exact built-in types; Kind::Other for anything else.
Kind exact_kind(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    if (type == &PyUnicode_Type) return Kind::Str;
    if (o == Py_None) return Kind::None;
    if (o == Py_True) return Kind::True;
    if (o == Py_False) return Kind::False;
    if (type == &PyLong_Type) return Kind::Int;
    if (type == &PyFloat_Type) return Kind::Float;
    if (type == &PyList_Type || type == &PyTuple_Type) return Kind::Sequence;
    if (type == &PyDict_Type) return Kind::Mapping;
    return Kind::Other;
}

// The encoder's isinstance() chain; exact built-in types answer at once.
Kind classify(PyObject* o) {
    if (const Kind kind = exact_kind(o); kind != Kind::Other) return kind;
    if (is_instance(o, &PyUnicode_Type)) return Kind::Str;
    if (is_instance(o, &PyLong_Type)) return Kind::Int;
    if (is_instance(o, &PyFloat_Type)) return Kind::Float;
    if (is_instance(o, &PyList_Type) || is_instance(o, &PyTuple_Type)) return Kind::Sequence;
    if (is_instance(o, &PyDict_Type)) return Kind::Mapping;
    return Kind::Other;
}

void append_text(PyObject* text, OutputBuffer& out) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) boundary::throw_error();
    out.append(utf8, static_cast<std::size_t>(size));
}

// ------------------------------------------------------------ strings

constexpr char hex_digits[] = "0123456789abcdef";

constexpr bool written_as_is(Py_UCS4 c) { return c >= 0x20 && c <= 0x7e && c != '"' && c != '\\'; }

// The longest escape of one character: a surrogate pair, twelve characters.
constexpr std::size_t max_escape = 12;

char* write_u_escape(Py_UCS4 unit, char* p) {
    p[0] = '\\';
    p[1] = 'u';
    p[2] = hex_digits[(unit >> 12) & 0xf];
    p[3] = hex_digits[(unit >> 8) & 0xf];
    p[4] = hex_digits[(unit >> 4) & 0xf];
    p[5] = hex_digits[unit & 0xf];
    return p + 6;
}

// As json's ensure_ascii escaping: short forms, else a backslash-u escape of
// four hex digits (a surrogate pair beyond the Basic Multilingual Plane).
char* write_escape(Py_UCS4 c, char* p) {
    if (c >= 0x80) {
        if (c < 0x10000) return write_u_escape(c, p);
        const Py_UCS4 v = c - 0x10000;
        p = write_u_escape(0xd800 | (v >> 10), p);
        return write_u_escape(0xdc00 | (v & 0x3ff), p);
    }
    char short_form = 0;
    switch (c) {
        case '\\': short_form = '\\'; break;
        case '"': short_form = '"'; break;
        case '\b': short_form = 'b'; break;
        case '\f': short_form = 'f'; break;
        case '\n': short_form = 'n'; break;
        case '\r': short_form = 'r'; break;
        case '\t': short_form = 't'; break;
        default: break;
    }
    if (short_form) {
        p[0] = '\\';
        p[1] = short_form;
        return p + 2;
    }
    return write_u_escape(c, p);
}

// Copies the leading characters that need no escape, a block at a time,
// and returns how many it copied; the rest (less than a block, or from the
// first character needing care) is left to the caller.
#if defined(__SSE2__)
// One 16-byte block of 1-byte characters.
struct ByteBlock {
    static constexpr int characters = 16;
    static __m128i plain(__m128i b) {
        const __m128i in_range = _mm_and_si128(_mm_cmpgt_epi8(b, _mm_set1_epi8(0x1f)),
                                               _mm_cmplt_epi8(b, _mm_set1_epi8(0x7f)));
        return _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8('"')),
                                             _mm_cmpeq_epi8(b, _mm_set1_epi8('\\'))),
                                in_range);
    }
    static void store(char* p, __m128i b) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), b); }
};

// One 16-byte block of 2-byte characters, narrowed to bytes when stored.
struct WideBlock {
    static constexpr int characters = 8;
    static __m128i plain(__m128i b) {
        const __m128i in_range = _mm_and_si128(_mm_cmpgt_epi16(b, _mm_set1_epi16(0x1f)),
                                               _mm_cmplt_epi16(b, _mm_set1_epi16(0x7f)));
        return _mm_andnot_si128(_mm_or_si128(_mm_cmpeq_epi16(b, _mm_set1_epi16('"')),
                                             _mm_cmpeq_epi16(b, _mm_set1_epi16('\\'))),
                                in_range);
    }
    static void store(char* p, __m128i b) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), _mm_packus_epi16(b, b)); }
};

template <class Block, class Char>
Py_ssize_t copy_plain_blocks(const Char* data, Py_ssize_t length, char*& p) {
    Py_ssize_t i = 0;
    for (; i + Block::characters <= length; i += Block::characters) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
        const unsigned plain = static_cast<unsigned>(_mm_movemask_epi8(Block::plain(block)));
        Block::store(p, block);
        if (plain != 0xffff) {
            const int run = __builtin_ctz(~plain) / static_cast<int>(sizeof(Char));
            p += run;
            return i + run;
        }
        p += Block::characters;
    }
    return i;
}

inline Py_ssize_t copy_plain(const Py_UCS1* data, Py_ssize_t length, char*& p) {
    return copy_plain_blocks<ByteBlock>(data, length, p);
}
inline Py_ssize_t copy_plain(const Py_UCS2* data, Py_ssize_t length, char*& p) {
    return copy_plain_blocks<WideBlock>(data, length, p);
}
#else
inline Py_ssize_t copy_plain(const Py_UCS1*, Py_ssize_t, char*&) { return 0; }
inline Py_ssize_t copy_plain(const Py_UCS2*, Py_ssize_t, char*&) { return 0; }
#endif
inline Py_ssize_t copy_plain(const Py_UCS4*, Py_ssize_t, char*&) { return 0; }

inline char* write_character(Py_UCS4 c, char* p) {
    if (!written_as_is(c)) return write_escape(c, p);
    *p = static_cast<char>(c);
    return p + 1;
}

// Characters per block that copy_plain takes at once.
template <class Char>
constexpr Py_ssize_t block_characters = sizeof(Char) == 4 ? 1 : 16 / static_cast<Py_ssize_t>(sizeof(Char));

template <class Char>
char* write_characters(const Char* data, Py_ssize_t length, char* p) {
    Py_ssize_t i = 0;
    for (;;) {
        i += copy_plain(data + i, length - i, p);
        if (length - i < block_characters<Char>) break;
        p = write_character(data[i++], p);  // the one that stopped the block copy
    }
    for (; i < length; ++i) p = write_character(data[i], p);
    return p;
}

// A str or str subclass, by its content.
void append_string(PyObject* s, OutputBuffer& out) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    const int kind = PyUnicode_KIND(s);
    const std::size_t per_character = kind == PyUnicode_4BYTE_KIND ? max_escape : 6;
    char* p = out.room(static_cast<std::size_t>(length) * per_character + 2);
    *p++ = '"';
    if (kind == PyUnicode_1BYTE_KIND) {
        p = write_characters(PyUnicode_1BYTE_DATA(s), length, p);
    } else if (kind == PyUnicode_2BYTE_KIND) {
        p = write_characters(PyUnicode_2BYTE_DATA(s), length, p);
    } else {
        p = write_characters(PyUnicode_4BYTE_DATA(s), length, p);
    }
    *p++ = '"';
    out.advance_to(p);
}

// What the encoder's _encoder (encode_basestring_ascii) gives for `o`.
void append_encoded(PyObject* o, OutputBuffer& out) {
    if (PyUnicode_Check(o)) return append_string(o, out);
    // An object that passes isinstance(o, str) without being one: the
    // interpreter's function raises its own TypeError.
    append_text(Ref::borrow(originals.encode_basestring_ascii)(o).get(), out);
}

// ------------------------------------------------------------ numbers

// An int that fits in 64 bits; false, writing nothing, for a wider one.
bool append_machine_int(PyObject* o, OutputBuffer& out) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) return false;
    if (value == -1 && PyErr_Occurred()) boundary::throw_error();
    char* p = out.room(24);
    out.advance_to(std::to_chars(p, p + 24, value).ptr);
    return true;
}

void append_int(PyObject* o, OutputBuffer& out) {
    if (!PyLong_Check(o)) {  // passes isinstance(o, int) only: int.__repr__ refuses it
        append_text(Ref::borrow(originals.int_repr)(o).get(), out);
        return;
    }
    if (append_machine_int(o, out)) return;
    // int.__repr__, with the interpreter's limit on digits.
    append_text(Ref::steal(PyLong_Type.tp_repr(o)).get(), out);
}

char* write_zeros(int count, char* p) {
    for (int i = 0; i < count; ++i) *p++ = '0';
    return p;
}

// float.__repr__ of a finite value: the shortest digits that read back as
// the same value, in fixed notation while the decimal point falls within
// -4 < point <= 16, else as d.ddde+XX.
char* write_float_repr(double value, char* p) {
    char scientific[32];
    const char* end = std::to_chars(scientific, scientific + sizeof scientific, value,
                                    std::chars_format::scientific).ptr;
    const char* s = scientific;
    if (*s == '-') *p++ = *s++;
    char digits[20];
    int count = 0;
    for (; *s != 'e'; ++s) {
        if (*s != '.') digits[count++] = *s;
    }
    int exponent = 0;
    std::from_chars(s + (s[1] == '+' ? 2 : 1), end, exponent);
    const int point = exponent + 1;
    if (point > -4 && point <= 16) {
        if (point <= 0) {
            *p++ = '0';
            *p++ = '.';
            p = write_zeros(-point, p);
            std::memcpy(p, digits, static_cast<std::size_t>(count));
            return p + count;
        }
        if (point >= count) {
            std::memcpy(p, digits, static_cast<std::size_t>(count));
            p = write_zeros(point - count, p + count);
            *p++ = '.';
            *p++ = '0';
            return p;
        }
        std::memcpy(p, digits, static_cast<std::size_t>(point));
        p += point;
        *p++ = '.';
        std::memcpy(p, digits + point, static_cast<std::size_t>(count - point));
        return p + (count - point);
    }
    *p++ = digits[0];
    if (count > 1) {
        *p++ = '.';
        std::memcpy(p, digits + 1, static_cast<std::size_t>(count - 1));
        p += count - 1;
    }
    *p++ = 'e';
    *p++ = exponent < 0 ? '-' : '+';
    const int magnitude = exponent < 0 ? -exponent : exponent;
    if (magnitude < 10) *p++ = '0';
    return std::to_chars(p, p + 4, magnitude).ptr;
}

void append_double(double value, OutputBuffer& out) {
    if (std::isnan(value)) {
        out.append("NaN");
    } else if (std::isinf(value)) {
        out.append(value > 0 ? "Infinity" : "-Infinity");
    } else {
        out.advance_to(write_float_repr(value, out.room(32)));
    }
}

// The encoder's floatstr: o != o, o == inf, o == -inf, else float.__repr__(o).
void append_float(PyObject* o, OutputBuffer& out) {
    if (PyFloat_CheckExact(o)) return append_double(PyFloat_AS_DOUBLE(o), out);
    if (boundary::compare(o, o, Py_NE)) {
        out.append("NaN");
    } else if (boundary::compare(o, originals.infinity, Py_EQ)) {
        out.append("Infinity");
    } else if (boundary::compare(o, originals.negative_infinity, Py_EQ)) {
        out.append("-Infinity");
    } else {
        append_text(Ref::borrow(originals.float_repr)(o).get(), out);
    }
}

// ------------------------------------------------------------ containers

// One open list or dict and where its iteration stands.
struct Frame {
    enum class Mode { List, Tuple, Dict, Iterable, Items };
    Ref container;
    Mode mode;
    int level;  // indentation level of the members
    Ref iterator;
    Py_ssize_t position = 0;
    Py_ssize_t size_at_start = 0;  // exact dicts, as dict iterators check it
    Py_ssize_t items_left = 0;
    bool first = true;
    bool mapping() const { return mode == Mode::Dict || mode == Mode::Items; }
};

// `key, value = item` with the interpreter's unpacking errors.
void unpack_pair(PyObject* item, Ref& key, Ref& value) {
    if (PyTuple_CheckExact(item) && PyTuple_GET_SIZE(item) == 2) {
        key = Ref::borrow(PyTuple_GET_ITEM(item, 0));
        value = Ref::borrow(PyTuple_GET_ITEM(item, 1));
        return;
    }
    Ref iterator = Ref::steal_maybe(PyObject_GetIter(item));
    if (!iterator) {
        if (PyErr_ExceptionMatches(PyExc_TypeError) && !Py_TYPE(item)->tp_iter && !PySequence_Check(item)) {
            boundary::raise_format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(item)->tp_name);
        }
        boundary::throw_error();
    }
    Ref* targets[2] = {&key, &value};
    for (int i = 0; i < 2; ++i) {
        *targets[i] = Ref::steal_maybe(PyIter_Next(iterator.get()));
        if (!*targets[i]) {
            if (PyErr_Occurred()) boundary::throw_error();
            boundary::raise_format(PyExc_ValueError, "not enough values to unpack (expected %d, got %d)", 2, i);
        }
    }
    Ref extra = Ref::steal_maybe(PyIter_Next(iterator.get()));
    if (!extra) {
        if (PyErr_Occurred()) boundary::throw_error();
        return;
    }
    boundary::raise_format(PyExc_ValueError, "too many values to unpack (expected %d)", 2);
}

// The next member of an exact dict, checked as a dict iterator checks.
bool next_dict_item(Frame& f, Ref& key, Ref& value) {
    PyObject* dict = f.container.get();
    if (PyDict_GET_SIZE(dict) != f.size_at_start) {
        boundary::raise(PyExc_RuntimeError, "dictionary changed size during iteration");
    }
    PyObject* k = nullptr;
    PyObject* v = nullptr;
    if (!PyDict_Next(dict, &f.position, &k, &v)) return false;
    if (f.items_left == 0) boundary::raise(PyExc_RuntimeError, "dictionary keys changed during iteration");
    --f.items_left;
    key = Ref::borrow(k);
    value = Ref::borrow(v);
    return true;
}

bool next_from_iterator(Frame& f, Ref& item) {
    item = Ref::steal_maybe(PyIter_Next(f.iterator.get()));
    if (item) return true;
    if (PyErr_Occurred()) boundary::throw_error();
    return false;
}

bool next_member(Frame& f, Ref& key, Ref& value) {
    switch (f.mode) {
        case Frame::Mode::List:
            if (f.position >= PyList_GET_SIZE(f.container.get())) return false;
            value = Ref::borrow(PyList_GET_ITEM(f.container.get(), f.position++));
            return true;
        case Frame::Mode::Tuple:
            if (f.position >= PyTuple_GET_SIZE(f.container.get())) return false;
            value = Ref::borrow(PyTuple_GET_ITEM(f.container.get(), f.position++));
            return true;
        case Frame::Mode::Dict: return next_dict_item(f, key, value);
        case Frame::Mode::Iterable: return next_from_iterator(f, value);
        case Frame::Mode::Items: {
            Ref item;
            if (!next_from_iterator(f, item)) return false;
            unpack_pair(item.get(), key, value);
            return true;
        }
    }
    return false;
}

// The ids of the containers being written, as the encoder's `markers`
// dict keeps them: constant time per container at any depth.  Shallow
// documents, the usual ones, are searched in a small array instead.
class OpenContainers {
public:
    // False when `o` is open already (a circular reference).
    bool insert(PyObject* o) {
        if (!deep_.empty()) return deep_.insert(o).second;
        if (std::find(shallow_.begin(), shallow_.end(), o) != shallow_.end()) return false;
        shallow_.push_back(o);
        if (shallow_.size() > shallow_limit) {
            deep_.insert(shallow_.begin(), shallow_.end());
            shallow_.clear();
        }
        return true;
    }
    void erase(PyObject* o) {
        if (!deep_.empty()) {
            deep_.erase(o);
        } else {
            shallow_.pop_back();  // containers close in the reverse order of opening
        }
    }

private:
    static constexpr std::size_t shallow_limit = 32;
    std::vector<PyObject*> shallow_;
    std::unordered_set<PyObject*> deep_;
};

// Nested C calls the C encoder may need besides one per open container: the
// call of json.dumps from C, the encoder's own call and whatever the
// interpreter adds; plain documents stay clear of the limit by this much.
constexpr int c_calls_spared = 50;
// Python frames json.dumps takes before the C encoder runs (dumps, encode,
// iterencode), with the same ample margin.
constexpr int python_frames_spared = 50;

class Writer {
public:
    // What the writer reproduces: the pure-Python encoder for any document,
    // or the C encoder for plain documents only (NotPlain for the others).
    enum class Encoder { PurePython, PlainForC };

    Writer(OutputBuffer& out, Encoder encoder) : out_(out), plain_(encoder == Encoder::PlainForC) {
        PyThreadState* thread = PyThreadState_Get();
        if (!plain_) {
            frame_budget_ = thread->py_recursion_remaining - frames_before_encoder;
            return;
        }
        if (thread->py_recursion_remaining < python_frames_spared) throw NotPlain{};
        frame_budget_ = boundary::c_recursion_remaining() - c_calls_spared;
    }

    void run(PyObject* obj) {
        write_value(obj, 0, true);
        while (!stack_.empty()) {
            Ref key, value;
            if (!next_member(stack_.back(), key, value)) {
                close_container();
                continue;
            }
            Frame& frame = stack_.back();
            const int level = frame.level;
            if (frame.mapping()) {
                write_member_key(key.get(), frame.first);
            } else {
                out_.push(frame.first ? '[' : ',');
                newline(level);
            }
            frame.first = false;
            write_value(value.get(), level, false);  // may open a frame: `frame` is stale now
        }
    }

private:
    void newline(int level) {
        const std::size_t width = static_cast<std::size_t>(2 * level);
        char* p = out_.room(width + 1);
        *p = '\n';
        std::memset(p + 1, ' ', width);
        out_.advance_to(p + 1 + width);
    }

    // The pure-Python encoder's generators each take a Python frame; the C
    // encoder takes a nested C call per container.
    void need_frames(int depth) const {
        if (depth <= frame_budget_) return;
        if (plain_) throw NotPlain{};
        boundary::raise(PyExc_RecursionError, "maximum recursion depth exceeded");
    }

    void mark(PyObject* o) {
        if (markers_.insert(o)) return;
        if (plain_) throw NotPlain{};
        boundary::raise(PyExc_ValueError, "Circular reference detected");
    }

    Kind kind_of(PyObject* o) const {
        if (!plain_) return classify(o);
        const Kind kind = exact_kind(o);
        if (kind == Kind::Other) throw NotPlain{};
        return kind;
    }

    // Ints wider than 64 bits are left to the encoder, with its limit on digits.
    void write_int(PyObject* o, OutputBuffer& text) const {
        if (!plain_) return append_int(o, text);
        if (!append_machine_int(o, text)) throw NotPlain{};
    }

    // `level`: indentation level of the position `o` is written at.
    void write_value(PyObject* o, int level, bool top) {
        switch (kind_of(o)) {
            case Kind::Str: return append_encoded(o, out_);
            case Kind::None: out_.append("null"); return;
            case Kind::True: out_.append("true"); return;
            case Kind::False: out_.append("false"); return;
            case Kind::Int: return write_int(o, out_);
            case Kind::Float: return append_float(o, out_);
            case Kind::Sequence: return open_sequence(o, level);
            case Kind::Mapping: return open_mapping(o, level);
            case Kind::Other: return write_default(o, level, top);
        }
    }

    void open_sequence(PyObject* o, int level) {
        need_frames(level + 1);
        const bool exact_list = PyList_CheckExact(o), exact_tuple = PyTuple_CheckExact(o);
        const bool empty = exact_list ? PyList_GET_SIZE(o) == 0
                         : exact_tuple ? PyTuple_GET_SIZE(o) == 0
                                       : !boundary::truthy(o);
        if (empty) {
            out_.append("[]");
            return;
        }
        mark(o);
        Frame frame{Ref::borrow(o), Frame::Mode::Iterable, level + 1};
        if (exact_list) {
            frame.mode = Frame::Mode::List;
        } else if (exact_tuple) {
            frame.mode = Frame::Mode::Tuple;
        } else {
            frame.iterator = Ref::steal(PyObject_GetIter(o));
        }
        stack_.push_back(std::move(frame));
    }

    void open_mapping(PyObject* o, int level) {
        need_frames(level + 1);
        const bool exact = PyDict_CheckExact(o);
        if (exact ? PyDict_GET_SIZE(o) == 0 : !boundary::truthy(o)) {
            out_.append("{}");
            return;
        }
        mark(o);
        out_.push('{');
        newline(level + 1);
        Frame frame{Ref::borrow(o), Frame::Mode::Dict, level + 1};
        if (exact) {
            frame.size_at_start = frame.items_left = PyDict_GET_SIZE(o);
        } else {
            static boundary::Name items("items");
            frame.mode = Frame::Mode::Items;
            frame.iterator = Ref::steal(PyObject_GetIter(boundary::call_method(o, items).get()));
        }
        stack_.push_back(std::move(frame));
    }

    // default=str: str(o), then that text; inside a container this takes two
    // more generator frames, at the top one.
    void write_default(PyObject* o, int level, bool top) {
        need_frames(level + (top ? 1 : 2));
        mark(o);
        Ref text = Ref::steal(PyObject_Str(o));
        markers_.erase(o);
        append_string(text.get(), out_);
    }

    void write_member_key(PyObject* key, bool first) {
        if (!first) {
            out_.push(',');
            newline(stack_.back().level);
        }
        write_key(key, out_);
        out_.append(": ");
    }

    // Keys: str as it is; float, bool, None and int through their JSON text.
    void write_key(PyObject* key, OutputBuffer& text) const {
        PyTypeObject* type = Py_TYPE(key);
        if (type == &PyUnicode_Type) return append_string(key, text);
        if (plain_) return write_plain_key(key, text);
        if (type != &PyFloat_Type && type != &PyLong_Type && key != Py_True && key != Py_False && key != Py_None &&
            is_instance(key, &PyUnicode_Type)) {
            return append_encoded(key, text);
        }
        text.push('"');
        if (type == &PyFloat_Type || (type != &PyLong_Type && key != Py_True && key != Py_False && key != Py_None &&
                                      is_instance(key, &PyFloat_Type))) {
            append_float(key, text);
        } else if (key == Py_True) {
            text.append("true");
        } else if (key == Py_False) {
            text.append("false");
        } else if (key == Py_None) {
            text.append("null");
        } else if (type == &PyLong_Type || is_instance(key, &PyLong_Type)) {
            append_int(key, text);
        } else {
            static boundary::Name class_name("__class__"), name_name("__name__");
            Ref name = Ref::steal(PyObject_GetAttr(key, class_name)).attr(name_name);
            boundary::raise_format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %S", name.get());
        }
        text.push('"');
    }

    // Other keys of a plain document: float, bool, None and int through their JSON text.
    void write_plain_key(PyObject* key, OutputBuffer& text) const {
        const Kind kind = kind_of(key);
        text.push('"');
        switch (kind) {
            case Kind::Float: append_double(PyFloat_AS_DOUBLE(key), text); break;
            case Kind::True: text.append("true"); break;
            case Kind::False: text.append("false"); break;
            case Kind::None: text.append("null"); break;
            case Kind::Int: write_int(key, text); break;
            default: throw NotPlain{};  // a tuple: the encoder's TypeError
        }
        text.push('"');
    }

    void close_container() {
        const Frame& frame = stack_.back();
        newline(frame.level - 1);
        out_.push(frame.mapping() ? '}' : ']');
        markers_.erase(frame.container.get());
        stack_.pop_back();
    }

    OutputBuffer& out_;
    const bool plain_;
    int frame_budget_ = 0;
    std::vector<Frame> stack_;
    OpenContainers markers_;
};

}  // namespace

void write_indented_json(PyObject* obj, OutputBuffer& out) { Writer(out, Writer::Encoder::PurePython).run(obj); }

bool write_plain_indented_json(PyObject* obj, OutputBuffer& out) {
    try {
        Writer(out, Writer::Encoder::PlainForC).run(obj);
        return true;
    } catch (const NotPlain&) {
        out.clear();
        return false;
    }
}

void OutputBuffer::grow(std::size_t count) {
    const std::size_t needed = size_ + count;
    std::size_t capacity = capacity_ < 4096 ? 4096 : capacity_ * 2;
    if (capacity < needed) capacity = needed;
    void* grown = std::realloc(data_, capacity);
    if (!grown) throw std::bad_alloc();
    data_ = static_cast<char*>(grown);
    capacity_ = capacity;
}

}  // namespace waymark
