// Declared functions: what the interpreter sees of every function of ours.
//
// A function is data (FunctionSpec): name, qualified name, docstring,
// annotation texts and parameters with their converters.  make_function()
// turns it into a function object of one shared type that binds vectorcall
// arguments (with the fixed TypeError texts of binding.cpp and
// converters.cpp), converts them, and hands the body an array of ready
// values.  A body throws PythonError (ref.hpp) to
// fail; the boundary adds the traceback entry and returns NULL.
#pragma once

#include "boundary/ref.hpp"

#include <cstddef>
#include <new>
#include <utility>
#include <vector>

namespace boundary {

struct ModuleRecord;

// What a parameter accepts (see the converter table in converters.cpp).
enum class Conv {
    Any,          // anything, unchanged
    Str,          // exactly str
    StrOrNone,    // None or exactly str
    Dict,         // exactly dict
    ListOrNone,   // None or exactly list
    Int,          // exact int, or int(value) for anything with the number protocol
    IntOrNone,    // None, or as Int
    Float,        // float(value) as the interpreter's float conversion does it
    FloatOrNone,  // None, exact float, int -> float, float(value) for other numbers
    Bool,         // its truth value
};

enum class Kind { PositionalOrKeyword, KeywordOnly };

// A parameter default, built into an object when the function is created.
struct Default {
    enum class Tag { Required, None, Int, Float, Str, False };
    Tag tag = Tag::Required;
    long long int_value = 0;
    double float_value = 0.0;
    const char* str_value = nullptr;
};
inline constexpr Default required{};
inline constexpr Default default_none{Default::Tag::None};
inline constexpr Default default_false{Default::Tag::False};
constexpr Default default_int(long long v) { return {Default::Tag::Int, v}; }
constexpr Default default_float(double v) { return {Default::Tag::Float, 0, v}; }
constexpr Default default_str(const char* v) { return {Default::Tag::Str, 0, 0.0, v}; }

struct Param {
    const char* name;
    const char* annotation;  // the annotation text, never evaluated; nullptr for none
    Conv conv = Conv::Any;
    Default fallback = required;
    Kind kind = Kind::PositionalOrKeyword;
};

// The converted arguments, in parameter order; the body may move from them.
class Args {
public:
    Args(Ref* values, std::size_t count) noexcept : values_(values), count_(count) {}
    Ref& operator[](std::size_t i) const noexcept { return values_[i]; }
    PyObject* get(std::size_t i) const noexcept { return values_[i].get(); }
    std::size_t size() const noexcept { return count_; }

private:
    Ref* values_;
    std::size_t count_;
};

using Body = Ref (*)(const Args& args);

inline constexpr std::size_t max_params = 12;

// Storage for up to max_params values, constructed one by one: zeroing a
// fixed array on every call would cost more than binding the arguments.
class ArgStorage {
public:
    ArgStorage() noexcept {}
    ~ArgStorage() {
        for (std::size_t i = 0; i < count_; ++i) values_[i].~Ref();
    }
    ArgStorage(const ArgStorage&) = delete;
    ArgStorage& operator=(const ArgStorage&) = delete;

    void push(Ref value) noexcept { new (&values_[count_++]) Ref(std::move(value)); }
    Args args() noexcept { return Args(values_, count_); }

private:
    union {
        Ref values_[max_params];
    };
    std::size_t count_ = 0;
};

struct FunctionSpec {
    const char* name;
    const char* qualname;
    const char* doc;                // nullptr: no docstring
    const char* return_annotation;  // nullptr: none
    std::vector<Param> params;
    Body body;
    bool coroutine = false;  // calling returns a coroutine that runs the body
};

// Creates a function object for `spec` (which must outlive the process's use
// of the function; specs are static data of the modules).
Ref make_function(const FunctionSpec& spec, ModuleRecord& module);

// For a class created with `type` whose __init__ is one of our functions:
// instance creation calls it without packing the arguments again.
void use_init_slot(PyObject* cls);

namespace detail {
// Runs `body` under the boundary: returns its result, or NULL with the error
// set and a traceback entry naming the function.
PyObject* run_body(PyObject* function, const Args& args);
PyObject* function_name(PyObject* function);      // borrowed
PyObject* function_qualname(PyObject* function);  // borrowed; __qualname__, which any str may replace
const char* function_spec_qualname(PyObject* function);  // the declared one, for traceback entries
const char* function_file(PyObject* function);
}  // namespace detail

}  // namespace boundary
