// From a background operation to an asyncio future, and from the same
// operation to a plain blocking call. Operation bodies are Python-free
// coroutines returning Result<T>; only the conversion of T into a Python
// object runs under the interpreter lock.
#pragma once

#include "py/pyref.h"

#include <memory>
#include <optional>
#include <utility>

#include "core/error.h"
#include "py/errors.h"
#include "runtime/runtime.h"

namespace vantorel::py {

// The outcome of an operation, ready to hand to a future: either a value
// or an exception instance. Built under the interpreter lock.
struct Delivered {
    Ref value;
    bool is_error = false;
};

// The pending Python exception as an instance (clears the error indicator).
Ref fetch_exception();

// Loop, future and copied context of one awaitable call. Created on the
// calling thread; completed from a runtime thread.
class FutureCall {
public:
    // Finds the running loop (its RuntimeError propagates), copies the
    // context, creates the future and arms its done-callback, which fires
    // `signal` when the future is cancelled.
    static std::shared_ptr<FutureCall> create(const std::shared_ptr<rt::CancelSignal>& signal);

    PyObject* future() const noexcept { return future_.get(); }

    // Runs on any thread without the lock: takes it, skips a cancelled
    // future, builds the outcome with make() and schedules its delivery on
    // the loop. A failure to deliver is printed and ignored.
    template <class Make>
    void deliver(Make&& make) noexcept;
    // Drops the Python references (takes the lock) without delivering.
    void abandon() noexcept;

private:
    // The interpreter is exiting: the references are leaked, not released.
    void forget() noexcept;
    void schedule(Delivered outcome) noexcept;  // lock held
    bool cancelled() noexcept;                  // lock held

    SharedRef loop_;
    SharedRef future_;
    SharedRef context_;
};

template <class Make>
void FutureCall::deliver(Make&& make) noexcept {
    InterpreterEntry entry;
    if (!entry) {
        forget();
        return;
    }
    if (!cancelled()) {
        Delivered outcome;
        try {
            outcome = make();
        } catch (const std::exception& e) {
            raise_internal_fault(e.what());
            outcome = {fetch_exception(), true};
        } catch (...) {
            raise_internal_fault("excepcion desconocida");
            outcome = {fetch_exception(), true};
        }
        schedule(std::move(outcome));
    }
    loop_.take();
    future_.take();
    context_.take();
}

// An already completed future of the running loop (new reference).
PyObject* completed_future(PyObject* value);

// The process-wide runtime, or nullptr with an internal-fault exception set.
rt::Runtime* process_runtime();

// What every awaitable call starts from: the process-wide runtime, the
// signal that the future's cancellation fires, and the future itself.
struct AwaitableCall {
    rt::Runtime* runtime;
    std::shared_ptr<rt::CancelSignal> signal;
    std::shared_ptr<FutureCall> call;
};
// nullopt with a Python exception set (no running loop, no runtime).
std::optional<AwaitableCall> begin_awaitable_call();

// Starts body on the process-wide runtime, raced against the future's
// cancellation, and returns the future (new reference). convert(T&) runs
// under the interpreter lock on a runtime thread and returns a Ref (null
// with a Python error set on failure).
template <class T, class Convert>
PyObject* spawn_future(asio::awaitable<Result<T>> body, Convert convert) {
    std::optional<AwaitableCall> started = begin_awaitable_call();
    if (!started) return nullptr;
    auto& [runtime, signal, call] = *started;
    PyObject* future = Py_NewRef(call->future());
    rt::spawn(*runtime, rt::race_cancel(std::move(body), signal),
              [call, convert = std::move(convert)](rt::JobResult<rt::Raced<Result<T>>> outcome) mutable {
                  if (outcome && !*outcome) {  // the future was cancelled first
                      call->abandon();
                      return;
                  }
                  call->deliver([&]() -> Delivered {
                      if (!outcome) {
                          // An exception escaped the body: a programming error.
                          raise_internal_fault(outcome.error().detail);
                          return {fetch_exception(), true};
                      }
                      Result<T>& result = **outcome;
                      if (!result) return {to_py_err(result.error()).instance(), true};
                      Ref value = convert(*result);
                      if (!value) return {fetch_exception(), true};
                      return {std::move(value), false};
                  });
              });
    return future;
}

// Drives body on `runtime` from the calling thread with the interpreter
// lock released, then converts under the lock. Returns a new reference or
// nullptr with the exception set.
template <class T, class Convert>
PyObject* run_blocking_call(rt::Runtime& runtime, asio::awaitable<Result<T>> body, Convert convert) {
    std::optional<rt::JobResult<Result<T>>> outcome;
    Py_BEGIN_ALLOW_THREADS
    outcome.emplace(rt::block_on(runtime, std::move(body)));
    Py_END_ALLOW_THREADS
    if (!*outcome) return raise_internal_fault(outcome->error().detail);
    Result<T>& result = **outcome;
    if (!result) return raise(result.error());
    return convert(*result).release();
}

}  // namespace vantorel::py
