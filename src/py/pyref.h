// The one owner of Python references. Operation code never calls
// Py_DECREF by hand.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vantorel::py {

class Ref {
public:
    Ref() noexcept = default;
    static Ref steal(PyObject* object) noexcept { return Ref(object); }
    static Ref borrow(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }
    Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(object_); }

    Ref clone() const noexcept { return borrow(object_); }
    PyObject* get() const noexcept { return object_; }
    // Hands the reference to the caller (e.g. as a return value to CPython).
    PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    void reset() noexcept { Py_CLEAR(object_); }

private:
    explicit Ref(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

bool interpreter_finalizing() noexcept;

// The interpreter lock, taken by a thread that is not a Python thread
// (runtime threads delivering results or dropping references). A thread
// that asks for the lock once finalization has begun is ended by the
// interpreter in the middle of our frames, so entries are refused from the
// moment the interpreter starts to exit (its atexit stage), and that stage
// waits for the threads already inside to leave. Refused: the caller leaks
// what it would have released.
class InterpreterEntry {
public:
    InterpreterEntry() noexcept;
    ~InterpreterEntry();
    InterpreterEntry(const InterpreterEntry&) = delete;
    InterpreterEntry& operator=(const InterpreterEntry&) = delete;

    explicit operator bool() const noexcept { return granted_; }

private:
    PyGILState_STATE gil_{};
    bool granted_ = false;
};

// Registers the exit stage above with atexit; once per process, lock held.
// False with a Python error set.
bool install_interpreter_exit_gate();

// A reference that may be dropped on a thread that does not hold the
// interpreter lock (runtime threads, abandoned tasks): it takes the lock
// to release, through InterpreterEntry. Once the interpreter exits the
// reference is leaked on purpose, since taking the lock then would park or
// end the thread.
class SharedRef {
public:
    SharedRef() noexcept = default;
    explicit SharedRef(Ref ref) noexcept : object_(ref.release()) {}
    SharedRef(SharedRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    SharedRef& operator=(SharedRef&& other) noexcept {
        if (this != &other) {
            reset();
            object_ = std::exchange(other.object_, nullptr);
        }
        return *this;
    }
    SharedRef(const SharedRef&) = delete;
    SharedRef& operator=(const SharedRef&) = delete;
    ~SharedRef() { reset(); }

    PyObject* get() const noexcept { return object_; }
    // Caller must hold the interpreter lock.
    Ref take() noexcept { return Ref::steal(std::exchange(object_, nullptr)); }
    void reset() noexcept;

private:
    PyObject* object_ = nullptr;
};

}  // namespace vantorel::py
