#include "py/bridge.h"

#include <mutex>

namespace vantorel::py {

namespace {

// Interned names and helpers looked up once per process, under the lock.
struct Names {
    PyObject* get_running_loop = nullptr;  // asyncio.get_running_loop
    PyObject* create_future = nullptr;
    PyObject* add_done_callback = nullptr;
    PyObject* call_soon_threadsafe = nullptr;
    PyObject* cancelled = nullptr;
    PyObject* set_result = nullptr;
    PyObject* set_exception = nullptr;
    PyObject* context_kwnames = nullptr;  // ("context",)
    PyObject* complete = nullptr;         // complete(future, method, value)
};

const Names* names();

// On the loop's thread: the future may have been cancelled since the
// delivery was scheduled.
PyObject* complete_future(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_SetString(PyExc_TypeError, "complete expects (future, method, value)");
        return nullptr;
    }
    const Names* n = names();
    if (n == nullptr) return nullptr;
    Ref is_cancelled = Ref::steal(PyObject_CallMethodNoArgs(args[0], n->cancelled));
    if (!is_cancelled) return nullptr;
    if (is_cancelled.get() == Py_True) Py_RETURN_NONE;
    return PyObject_CallOneArg(args[1], args[2]);
}

PyMethodDef g_complete_def = {"_complete", reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(complete_future)),
                              METH_FASTCALL, nullptr};

// The future's done-callback: a cancelled future fires the call's signal.
PyObject* on_future_done(PyObject* capsule, PyObject* future) {
    auto* signal = static_cast<std::shared_ptr<rt::CancelSignal>*>(PyCapsule_GetPointer(capsule, nullptr));
    if (signal == nullptr) return nullptr;
    const Names* n = names();
    if (n == nullptr) return nullptr;
    Ref is_cancelled = Ref::steal(PyObject_CallMethodNoArgs(future, n->cancelled));
    if (!is_cancelled) return nullptr;
    if (is_cancelled.get() == Py_True) (*signal)->fire();
    Py_RETURN_NONE;
}

PyMethodDef g_done_def = {"_on_done", on_future_done, METH_O, nullptr};

void free_signal(PyObject* capsule) {
    delete static_cast<std::shared_ptr<rt::CancelSignal>*>(PyCapsule_GetPointer(capsule, nullptr));
}

const Names* names() {
    static Names* cached = nullptr;  // written once under the lock
    if (cached != nullptr) return cached;
    // Results are delivered from runtime threads: from here on the
    // interpreter's exit must wait for them (and refuse later ones).
    if (!install_interpreter_exit_gate()) return nullptr;
    auto n = std::make_unique<Names>();
    Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
    if (!asyncio) return nullptr;
    n->get_running_loop = PyObject_GetAttrString(asyncio.get(), "get_running_loop");
    n->create_future = PyUnicode_InternFromString("create_future");
    n->add_done_callback = PyUnicode_InternFromString("add_done_callback");
    n->call_soon_threadsafe = PyUnicode_InternFromString("call_soon_threadsafe");
    n->cancelled = PyUnicode_InternFromString("cancelled");
    n->set_result = PyUnicode_InternFromString("set_result");
    n->set_exception = PyUnicode_InternFromString("set_exception");
    n->context_kwnames = Py_BuildValue("(s)", "context");
    n->complete = PyCFunction_New(&g_complete_def, nullptr);
    if (!n->get_running_loop || !n->create_future || !n->add_done_callback || !n->call_soon_threadsafe ||
        !n->cancelled || !n->set_result || !n->set_exception || !n->context_kwnames || !n->complete) {
        return nullptr;  // the few objects made are kept: this runs once
    }
    cached = n.release();
    return cached;
}

}  // namespace

Ref fetch_exception() {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

PyObject* completed_future(PyObject* value) {
    const Names* n = names();
    if (n == nullptr) return nullptr;
    Ref loop = Ref::steal(PyObject_CallNoArgs(n->get_running_loop));
    if (!loop) return nullptr;
    Ref future = Ref::steal(PyObject_CallMethodNoArgs(loop.get(), n->create_future));
    if (!future) return nullptr;
    Ref done = Ref::steal(PyObject_CallMethodOneArg(future.get(), n->set_result, value));
    if (!done) return nullptr;
    return future.release();
}

std::optional<AwaitableCall> begin_awaitable_call() {
    rt::Runtime* runtime = process_runtime();
    if (runtime == nullptr) return std::nullopt;
    auto signal = std::make_shared<rt::CancelSignal>(runtime->executor());
    std::shared_ptr<FutureCall> call = FutureCall::create(signal);
    if (!call) return std::nullopt;
    return AwaitableCall{runtime, std::move(signal), std::move(call)};
}

rt::Runtime* process_runtime() {
    auto runtime = rt::Runtime::process();
    if (!runtime) {
        raise_internal_fault("no se pudo crear el runtime: " + runtime.error());
        return nullptr;
    }
    return runtime->get();
}

std::shared_ptr<FutureCall> FutureCall::create(const std::shared_ptr<rt::CancelSignal>& signal) {
    const Names* n = names();
    if (n == nullptr) return nullptr;
    Ref loop = Ref::steal(PyObject_CallNoArgs(n->get_running_loop));
    if (!loop) return nullptr;
    Ref context = Ref::steal(PyContext_CopyCurrent());
    if (!context) return nullptr;
    Ref future = Ref::steal(PyObject_CallMethodNoArgs(loop.get(), n->create_future));
    if (!future) return nullptr;

    Ref capsule = Ref::steal(PyCapsule_New(new std::shared_ptr<rt::CancelSignal>(signal), nullptr, free_signal));
    if (!capsule) return nullptr;
    Ref hook = Ref::steal(PyCFunction_New(&g_done_def, capsule.get()));
    if (!hook) return nullptr;
    Ref added = Ref::steal(PyObject_CallMethodOneArg(future.get(), n->add_done_callback, hook.get()));
    if (!added) return nullptr;

    auto call = std::make_shared<FutureCall>();
    call->loop_ = SharedRef(std::move(loop));
    call->future_ = SharedRef(std::move(future));
    call->context_ = SharedRef(std::move(context));
    return call;
}

bool FutureCall::cancelled() noexcept {
    const Names* n = names();
    if (n == nullptr || future_.get() == nullptr) {
        PyErr_Clear();
        return true;
    }
    Ref result = Ref::steal(PyObject_CallMethodNoArgs(future_.get(), n->cancelled));
    if (!result) {
        PyErr_WriteUnraisable(future_.get());
        return true;
    }
    return result.get() == Py_True;
}

void FutureCall::schedule(Delivered outcome) noexcept {
    const Names* n = names();
    if (n == nullptr || !outcome.value) {
        if (PyErr_Occurred()) PyErr_WriteUnraisable(future_.get());
        return;
    }
    Ref method = Ref::steal(
        PyObject_GetAttr(future_.get(), outcome.is_error ? n->set_exception : n->set_result));
    if (!method) {
        PyErr_WriteUnraisable(future_.get());
        return;
    }
    // loop.call_soon_threadsafe(complete, future, method, value, context=ctx)
    PyObject* args[] = {loop_.get(), n->complete, future_.get(), method.get(), outcome.value.get(),
                        context_.get()};
    Ref handle = Ref::steal(PyObject_VectorcallMethod(n->call_soon_threadsafe, args,
                                                      5, n->context_kwnames));
    if (!handle) {
        // Typically a loop closed meanwhile: print and go on.
        PyErr_WriteUnraisable(future_.get());
    }
}

void FutureCall::abandon() noexcept {
    InterpreterEntry entry;
    if (!entry) {
        forget();
        return;
    }
    loop_.take();
    future_.take();
    context_.take();
}

void FutureCall::forget() noexcept {
    (void)loop_.take().release();
    (void)future_.take().release();
    (void)context_.take().release();
}

}  // namespace vantorel::py
