// The init slot of a class whose __init__ is one of our functions: instance
// creation binds __init__'s arguments straight from the class call.
#include "boundary/function_object.hpp"
#include "boundary/guard.hpp"

namespace boundary {
namespace {

using detail::as_function;
using detail::FunctionObject;
using detail::function_type;

// The type's __init__ called with the arguments of a class call, as
// slot_tp_init would, but bound straight from the argument tuple and dict.
int init_slot(PyObject* self, PyObject* args, PyObject* kwargs) {
    static Name init_name("__init__");
    PyObject* init = _PyType_Lookup(Py_TYPE(self), init_name);
    if (!init || !Py_IS_TYPE(init, &function_type)) {
        // Not ours any more: the generic way, through the descriptor.
        Ref bound = Ref::steal_maybe(PyObject_GetAttr(self, init_name));
        if (!bound) return -1;
        Ref result = Ref::steal_maybe(PyObject_Call(bound.get(), args, kwargs));
        return result ? 0 : -1;
    }
    FunctionObject* f = as_function(init);
    Ref held = Ref::borrow(init);
    ArgStorage values;
    const detail::DictKeywords keywords{kwargs};
    if (!detail::bind_and_convert(f, self, &PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), keywords, values)) {
        return -1;
    }
    Ref result = Ref::steal_maybe(detail::run_body(init, values.args()));
    return result ? 0 : -1;
}

}  // namespace

void use_init_slot(PyObject* cls) {
    // Assigning __init__ later resets the slot to the interpreter's generic one.
    reinterpret_cast<PyTypeObject*>(cls)->tp_init = guarded<init_slot>;
}

}  // namespace boundary
