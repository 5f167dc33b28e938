#include "py/pyref.h"

namespace vantorel::py {

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

void SharedRef::reset() noexcept {
    PyObject* object = std::exchange(object_, nullptr);
    if (object == nullptr || interpreter_finalizing()) return;
    PyGILState_STATE state = PyGILState_Ensure();
    Py_DECREF(object);
    PyGILState_Release(state);
}

}  // namespace vantorel::py
