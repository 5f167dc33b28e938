// Exception types, the CoreError -> exception mapping, and the catch chain
// every Python entry point ends in.
#pragma once

#include "py/pyref.h"

#include <cxxabi.h>
#include <unistd.h>

#include <exception>
#include <new>
#include <string>
#include <string_view>

#include "core/error.h"

namespace vantorel::py {

// In registration order; the hierarchy lives in errors.cpp.
enum class Exc : unsigned char {
    VantorelError,
    ConfigurationError,
    ConnectError,
    PoolTimeout,
    InterfaceError,
    QueryError,
    SqlSyntaxError,
    IntegrityError,
    DataError,
    OperationTimeout,
    ParameterError,
    ProcValidationError,
    BulkFailure,
    MergeFailure,
    CatalogError,
    FeatureUnavailable,
};
inline constexpr int kExceptionCount = 16;

const char* exception_name(Exc which) noexcept;

// Borrowed; created on first use (base first) and cached for the process.
// nullptr with a Python error set if the type cannot be created.
PyObject* exception_type(Exc which);

// An exception not yet materialised: the type and the message are made
// only when it is raised into Python.
struct PendingError {
    Exc type;
    std::string text;

    // Sets the Python error; returns nullptr for use in return statements.
    PyObject* raise() const;
    // Builds the exception instance (new reference), or nullptr on failure.
    Ref instance() const;
};

// Display text, password-scrubbed, typed by kind (Query by SQLSTATE).
PendingError to_py_err(const CoreError& error);

inline PyObject* raise(const CoreError& error) { return to_py_err(error).raise(); }
PyObject* raise(Exc type, std::string_view text);

// The exception of an internal fault (a programming error, not a database
// one): a RuntimeError carrying the fault's text.
PyObject* raise_internal_fault(std::string_view detail);

// Takes the interpreter lock back after a blocking wait. A thread that comes
// back while the interpreter finalizes is ended by CPython with a forced
// unwind; it is parked here instead, before any destructor of the caller's
// frame could release a Python reference without the lock.
inline void restore_thread(PyThreadState* state) {
    try {
        PyEval_RestoreThread(state);
    } catch (abi::__forced_unwind&) {
        for (;;) pause();
    }
}

// The one catch chain: no C++ exception crosses into CPython.
template <class F>
auto guarded(F&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (abi::__forced_unwind&) {
        // A Python thread that comes back for the lock while the interpreter
        // finalizes (a daemon thread after a blocking call) is ended with
        // pthread_exit. That unwinding cannot leave this frame, so the thread
        // waits here for the process to end, as newer CPython versions do.
        for (;;) pause();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& e) {
        raise_internal_fault(e.what());
    } catch (...) {
        raise_internal_fault("excepcion desconocida");
    }
    if constexpr (std::is_same_v<decltype(body()), int>) {
        return -1;
    } else {
        return nullptr;
    }
}

// Creates a heap type from its spec; on failure prints the Python error and
// raises "failed to create type object for {class}".
PyObject* create_type(PyType_Spec* spec, const char* class_name);

// tp_new of classes whose instances only come from operations.
PyObject* no_constructor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// A str from UTF-8 with invalid bytes replaced.
Ref str_from_utf8(std::string_view text);

}  // namespace vantorel::py
