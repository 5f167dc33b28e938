#include "py/pyref.h"

#include <condition_variable>
#include <cstddef>
#include <mutex>

namespace vantorel::py {

namespace {

struct ExitGate {
    std::mutex mutex;
    std::condition_variable idle;
    std::size_t inside = 0;
    bool closed = false;
};

// Never destroyed: runtime threads may still reach it while the process ends.
ExitGate& exit_gate() {
    static ExitGate* gate = new ExitGate;
    return *gate;
}

// atexit: threads can still take the lock normally here, so the ones
// inside finish; later ones are refused.
PyObject* close_exit_gate(PyObject*, PyObject*) {
    ExitGate& gate = exit_gate();
    Py_BEGIN_ALLOW_THREADS
    {
        std::unique_lock lock(gate.mutex);
        gate.closed = true;
        gate.idle.wait(lock, [&] { return gate.inside == 0; });
    }
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

PyMethodDef g_close_exit_gate_def = {"_close_exit_gate", close_exit_gate, METH_NOARGS, nullptr};

}  // namespace

bool interpreter_finalizing() noexcept {
#if PY_VERSION_HEX >= 0x030D0000
    return Py_IsFinalizing() != 0;
#else
    return _Py_IsFinalizing() != 0;
#endif
}

InterpreterEntry::InterpreterEntry() noexcept {
    if (interpreter_finalizing()) return;
    ExitGate& gate = exit_gate();
    {
        std::lock_guard lock(gate.mutex);
        if (gate.closed) return;
        ++gate.inside;
    }
    gil_ = PyGILState_Ensure();
    granted_ = true;
}

InterpreterEntry::~InterpreterEntry() {
    if (!granted_) return;
    PyGILState_Release(gil_);
    ExitGate& gate = exit_gate();
    std::lock_guard lock(gate.mutex);
    if (--gate.inside == 0) gate.idle.notify_all();
}

bool install_interpreter_exit_gate() {
    static bool installed = false;  // written under the lock
    if (installed) return true;
    Ref atexit = Ref::steal(PyImport_ImportModule("atexit"));
    if (!atexit) return false;
    Ref hook = Ref::steal(PyCFunction_New(&g_close_exit_gate_def, nullptr));
    if (!hook) return false;
    Ref registered = Ref::steal(PyObject_CallMethod(atexit.get(), "register", "O", hook.get()));
    if (!registered) return false;
    installed = true;
    return true;
}

void SharedRef::reset() noexcept {
    PyObject* object = std::exchange(object_, nullptr);
    if (object == nullptr) return;
    InterpreterEntry entry;
    if (entry) Py_DECREF(object);
}

}  // namespace vantorel::py
