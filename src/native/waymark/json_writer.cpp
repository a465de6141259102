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
#include "waymark/waymark.hpp"

#include <charconv>
#include <cmath>
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

// The encoder's isinstance() chain; exact built-in types answer at once.
Kind classify(PyObject* o) {
    PyTypeObject* type = Py_TYPE(o);
    if (type == &PyUnicode_Type) return Kind::Str;
    if (o == Py_None) return Kind::None;
    if (o == Py_True) return Kind::True;
    if (o == Py_False) return Kind::False;
    if (type == &PyLong_Type) return Kind::Int;
    if (type == &PyFloat_Type) return Kind::Float;
    if (type == &PyList_Type || type == &PyTuple_Type) return Kind::Sequence;
    if (type == &PyDict_Type) return Kind::Mapping;
    if (is_instance(o, &PyUnicode_Type)) return Kind::Str;
    if (is_instance(o, &PyLong_Type)) return Kind::Int;
    if (is_instance(o, &PyFloat_Type)) return Kind::Float;
    if (is_instance(o, &PyList_Type) || is_instance(o, &PyTuple_Type)) return Kind::Sequence;
    if (is_instance(o, &PyDict_Type)) return Kind::Mapping;
    return Kind::Other;
}

void append_text(PyObject* text, std::string& out) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (!utf8) boundary::throw_error();
    out.append(utf8, static_cast<std::size_t>(size));
}

// ------------------------------------------------------------ strings

constexpr char hex_digits[] = "0123456789abcdef";

constexpr bool written_as_is(Py_UCS4 c) { return c >= 0x20 && c <= 0x7e && c != '"' && c != '\\'; }

void append_u_escape(Py_UCS4 unit, std::string& out) {
    const char text[6] = {'\\', 'u', hex_digits[(unit >> 12) & 0xf], hex_digits[(unit >> 8) & 0xf],
                          hex_digits[(unit >> 4) & 0xf], hex_digits[unit & 0xf]};
    out.append(text, sizeof text);
}

// As json's ensure_ascii escaping: short forms, else \uXXXX (a surrogate pair
// beyond the Basic Multilingual Plane).
void append_escape(Py_UCS4 c, std::string& out) {
    switch (c) {
        case '\\': out += "\\\\"; return;
        case '"': out += "\\\""; return;
        case '\b': out += "\\b"; return;
        case '\f': out += "\\f"; return;
        case '\n': out += "\\n"; return;
        case '\r': out += "\\r"; return;
        case '\t': out += "\\t"; return;
        default: break;
    }
    if (c >= 0x10000) {
        const Py_UCS4 v = c - 0x10000;
        append_u_escape(0xd800 | (v >> 10), out);
        append_u_escape(0xdc00 | (v & 0x3ff), out);
        return;
    }
    append_u_escape(c, out);
}

template <class Char>
void append_characters(const Char* data, Py_ssize_t length, std::string& out) {
    Py_ssize_t i = 0;
    while (i < length) {
        const Py_ssize_t start = i;
        while (i < length && written_as_is(data[i])) ++i;
        if constexpr (sizeof(Char) == 1) {
            out.append(reinterpret_cast<const char*>(data + start), static_cast<std::size_t>(i - start));
        } else {
            for (Py_ssize_t k = start; k < i; ++k) out.push_back(static_cast<char>(data[k]));
        }
        if (i < length) append_escape(data[i++], out);
    }
}

// A str or str subclass, by its content.
void append_string(PyObject* s, std::string& out) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(s);
    out.reserve(out.size() + static_cast<std::size_t>(length) + 2);
    out.push_back('"');
    switch (PyUnicode_KIND(s)) {
        case PyUnicode_1BYTE_KIND: append_characters(PyUnicode_1BYTE_DATA(s), length, out); break;
        case PyUnicode_2BYTE_KIND: append_characters(PyUnicode_2BYTE_DATA(s), length, out); break;
        default: append_characters(PyUnicode_4BYTE_DATA(s), length, out); break;
    }
    out.push_back('"');
}

// What the encoder's _encoder (encode_basestring_ascii) gives for `o`.
void append_encoded(PyObject* o, std::string& out) {
    if (PyUnicode_Check(o)) return append_string(o, out);
    // An object that passes isinstance(o, str) without being one: the
    // interpreter's function raises its own TypeError.
    append_text(Ref::borrow(originals.encode_basestring_ascii)(o).get(), out);
}

// ------------------------------------------------------------ numbers

void append_int(PyObject* o, std::string& out) {
    if (!PyLong_Check(o)) {  // passes isinstance(o, int) only: int.__repr__ refuses it
        append_text(Ref::borrow(originals.int_repr)(o).get(), out);
        return;
    }
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow == 0) {
        if (value == -1 && PyErr_Occurred()) boundary::throw_error();
        char buffer[24];
        const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
        out.append(buffer, result.ptr);
        return;
    }
    // int.__repr__, with the interpreter's limit on digits.
    append_text(Ref::steal(PyLong_Type.tp_repr(o)).get(), out);
}

void append_double(double value, std::string& out) {
    if (std::isnan(value)) {
        out += "NaN";
    } else if (std::isinf(value)) {
        out += value > 0 ? "Infinity" : "-Infinity";
    } else {
        char* text = PyOS_double_to_string(value, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
        if (!text) boundary::throw_error();
        out += text;
        PyMem_Free(text);
    }
}

bool compares(PyObject* a, PyObject* b, int op) {
    return boundary::truthy(Ref::steal(PyObject_RichCompare(a, b, op)).get());
}

// The encoder's floatstr: o != o, o == inf, o == -inf, else float.__repr__(o).
void append_float(PyObject* o, std::string& out) {
    if (PyFloat_CheckExact(o)) return append_double(PyFloat_AS_DOUBLE(o), out);
    if (compares(o, o, Py_NE)) {
        out += "NaN";
    } else if (compares(o, originals.infinity, Py_EQ)) {
        out += "Infinity";
    } else if (compares(o, originals.negative_infinity, Py_EQ)) {
        out += "-Infinity";
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

class Writer {
public:
    explicit Writer(std::string& out)
        : out_(out), frame_budget_(PyThreadState_Get()->py_recursion_remaining - frames_before_encoder) {}

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
                out_ += frame.first ? '[' : ',';
                newline(level);
            }
            frame.first = false;
            write_value(value.get(), level, false);  // may open a frame: `frame` is stale now
        }
    }

private:
    void newline(int level) {
        out_ += '\n';
        out_.append(static_cast<std::size_t>(2 * level), ' ');
    }

    // The encoder's generators each take a Python frame.
    void need_frames(int depth) const {
        if (depth > frame_budget_) boundary::raise(PyExc_RecursionError, "maximum recursion depth exceeded");
    }

    void mark(PyObject* o) {
        for (PyObject* active : markers_) {
            if (active == o) boundary::raise(PyExc_ValueError, "Circular reference detected");
        }
        markers_.push_back(o);
    }

    // `level`: indentation level of the position `o` is written at.
    void write_value(PyObject* o, int level, bool top) {
        switch (classify(o)) {
            case Kind::Str: return append_encoded(o, out_);
            case Kind::None: out_ += "null"; return;
            case Kind::True: out_ += "true"; return;
            case Kind::False: out_ += "false"; return;
            case Kind::Int: return append_int(o, out_);
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
            out_ += "[]";
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
            out_ += "{}";
            return;
        }
        mark(o);
        out_ += '{';
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
        markers_.pop_back();
        append_string(text.get(), out_);
    }

    void write_member_key(PyObject* key, bool first) {
        std::string text;
        key_text(key, text);
        if (!first) {
            out_ += ',';
            newline(stack_.back().level);
        }
        out_ += text;
        out_ += ": ";
    }

    // Keys: str as it is; float, bool, None and int through their JSON text.
    static void key_text(PyObject* key, std::string& text) {
        PyTypeObject* type = Py_TYPE(key);
        if (type == &PyUnicode_Type) return append_string(key, text);
        if (type != &PyFloat_Type && type != &PyLong_Type && key != Py_True && key != Py_False && key != Py_None &&
            is_instance(key, &PyUnicode_Type)) {
            return append_encoded(key, text);
        }
        text += '"';
        if (type == &PyFloat_Type || (type != &PyLong_Type && key != Py_True && key != Py_False && key != Py_None &&
                                      is_instance(key, &PyFloat_Type))) {
            append_float(key, text);
        } else if (key == Py_True) {
            text += "true";
        } else if (key == Py_False) {
            text += "false";
        } else if (key == Py_None) {
            text += "null";
        } else if (type == &PyLong_Type || is_instance(key, &PyLong_Type)) {
            append_int(key, text);
        } else {
            static boundary::Name class_name("__class__"), name_name("__name__");
            Ref name = Ref::steal(PyObject_GetAttr(key, class_name)).attr(name_name);
            boundary::raise_format(PyExc_TypeError, "keys must be str, int, float, bool or None, not %S", name.get());
        }
        text += '"';
    }

    void close_container() {
        const Frame& frame = stack_.back();
        newline(frame.level - 1);
        out_ += frame.mapping() ? '}' : ']';
        markers_.pop_back();
        stack_.pop_back();
    }

    std::string& out_;
    int frame_budget_;
    std::vector<Frame> stack_;
    std::vector<PyObject*> markers_;  // ids of the containers being written
};

}  // namespace

void write_indented_json(PyObject* obj, std::string& out) { Writer(out).run(obj); }

}  // namespace waymark
