#include "boundary/guard.hpp"

#include <exception>
#include <new>

namespace boundary {

CATCHES_THREAD_EXIT void set_error_for_current_exception() {
    try {
        throw;
    } catch (const PythonError&) {
        // The interpreter's error indicator already holds the error; a
        // PythonError thrown without one is a fault of ours.
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "error return without exception set");
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (const ThreadExit&) {
        throw;
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unexpected C++ exception");
    }
}

}  // namespace boundary
