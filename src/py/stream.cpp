// BatchStream (asynchronous, fed by a prefetch task) and BlockingBatchStream
// (one fetch per step on the BlockingEngine's runtime).
#include "py/stream.h"

#include <optional>
#include <string>
#include <vector>

#include "core/batch_stream.h"
#include "py/bridge.h"
#include "py/convert.h"
#include "py/errors.h"

namespace vantorel::py {

namespace {

#define VANTOREL_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(fn))

// How batches become Python lists; owns the decimal mode text.
struct RowShape {
    bool strip_char_padding = true;
    std::string decimal_mode;

    explicit RowShape(const vantorel::EngineOptions& options)
        : strip_char_padding(options.strip_char_padding), decimal_mode(options.decimal_mode) {}
    Ref convert(const std::vector<ColumnMeta>& columns, const Batch& rows) const {
        return batch_to_pylist(columns, rows, strip_char_padding, decimal_mode);
    }
};

Ref column_names(const std::vector<ColumnMeta>& columns) {
    Ref list = Ref::steal(PyList_New(static_cast<Py_ssize_t>(columns.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < columns.size(); ++i) {
        Ref name = str_from_utf8(columns[i].name);
        if (!name) return {};
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), name.release());
    }
    return list;
}

// sql, params=None, batch_size=None. params is borrowed.
bool parse_stream_args(PyObject* args, PyObject* kwargs, const char* format, const vantorel::EngineOptions& options,
                       std::u16string& sql, PyObject*& params, std::uint64_t& batch_size) {
    static const char* kwlist[] = {"sql", "params", "batch_size", nullptr};
    PyObject* sql_obj = nullptr;
    PyObject* size_obj = Py_None;
    params = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &PyUnicode_Type, &sql_obj,
                                     &params, &size_obj)) {
        return false;
    }
    if (!units_from_str(sql_obj, sql)) return false;
    if (size_obj == Py_None) {
        batch_size = options.stream_batch_size;
        return true;
    }
    if (!PyLong_Check(size_obj)) {
        PyErr_Format(PyExc_TypeError, "argument 'batch_size' must be int or None, not %s", Py_TYPE(size_obj)->tp_name);
        return false;
    }
    const unsigned long long value = PyLong_AsUnsignedLongLong(size_obj);
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    batch_size = value;
    return true;
}

// ---- BatchStream -------------------------------------------------------

struct BatchStreamState {
    std::shared_ptr<stream::AsyncBatchStream> core;
    RowShape shape;
};

struct BatchStreamObject {
    PyObject_HEAD
    BatchStreamState state;
};

PyObject* g_stream_type = nullptr;  // created once per process

BatchStreamState& stream_of(PyObject* self) { return reinterpret_cast<BatchStreamObject*>(self)->state; }

Ref wrap_stream(std::shared_ptr<stream::AsyncBatchStream> core, const RowShape& shape) {
    auto* type = reinterpret_cast<PyTypeObject*>(g_stream_type);
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object) return {};
    new (&stream_of(object.get())) BatchStreamState{std::move(core), shape};
    return object;
}

void stream_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    // Without a pending __anext__ this closes the channels: the prefetch
    // task then cancels the statement. No ODBC call happens here.
    stream_of(self).~BatchStreamState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* stream_columns(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return column_names(stream_of(self).core->columns()).release(); });
}

PyObject* stream_aiter(PyObject* self) { return Py_NewRef(self); }

// Done-callback of an __anext__ future: a cancelled call lets go of the
// stream's receiving end for the calls after it.
PyObject* on_next_done(PyObject* capsule, PyObject* future) {
    auto* call = static_cast<std::shared_ptr<stream::NextCall>*>(PyCapsule_GetPointer(capsule, nullptr));
    if (call == nullptr) return nullptr;
    Ref cancelled = Ref::steal(PyObject_CallMethod(future, "cancelled", nullptr));
    if (!cancelled) return nullptr;
    if (cancelled.get() == Py_True) (*call)->abandoned.store(true);
    Py_RETURN_NONE;
}

PyMethodDef g_next_done_def = {"_on_next_done", on_next_done, METH_O, nullptr};

void free_next_call(PyObject* capsule) {
    delete static_cast<std::shared_ptr<stream::NextCall>*>(PyCapsule_GetPointer(capsule, nullptr));
}

bool watch_cancellation(PyObject* future, const std::shared_ptr<stream::NextCall>& call) {
    Ref capsule = Ref::steal(PyCapsule_New(new std::shared_ptr<stream::NextCall>(call), nullptr, free_next_call));
    if (!capsule) return false;
    Ref hook = Ref::steal(PyCFunction_New(&g_next_done_def, capsule.get()));
    if (!hook) return false;
    Ref added = Ref::steal(PyObject_CallMethod(future, "add_done_callback", "O", hook.get()));
    return static_cast<bool>(added);
}

PyObject* stream_anext(PyObject* self) {
    return guarded([&]() -> PyObject* {
        const BatchStreamState& state = stream_of(self);
        auto core = state.core;
        auto call = std::make_shared<stream::NextCall>();
        Ref future = Ref::steal(spawn_future<std::optional<Batch>>(
            stream::AsyncBatchStream::next(core, call),
            [core, shape = state.shape](std::optional<Batch>& batch) -> Ref {
                if (!batch) {
                    PyErr_SetNone(PyExc_StopAsyncIteration);
                    return {};
                }
                Ref rows = shape.convert(core->columns(), *batch);
                core->recycle(std::move(*batch));
                return rows;
            }));
        if (!future) return nullptr;
        // The body already runs and may take a batch: the future must reach
        // the caller. Without the hook, later calls wait for this one rather
        // than end the stream early.
        if (!watch_cancellation(future.get(), call)) {
            PyErr_Clear();
            call->abandoned.store(true);
        }
        return future.release();
    });
}

PyObject* stream_cancel(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        stream_of(self).core->cancel();
        Py_RETURN_NONE;
    });
}

PyObject* stream_aclose(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        stream_of(self).core->close();
        return completed_future(Py_None);
    });
}

PyObject* stream_aenter(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return completed_future(self); });
}

PyObject* stream_aexit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"_exc_type", "_exc_value", "_traceback", nullptr};
        PyObject *a = nullptr, *b = nullptr, *c = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:__aexit__", const_cast<char**>(kwlist), &a, &b, &c))
            return nullptr;
        stream_of(self).core->close();
        return completed_future(Py_None);
    });
}

PyMethodDef g_stream_methods[] = {
    {"cancel", stream_cancel, METH_NOARGS, "cancel($self)\n--\n\n"},
    {"aclose", stream_aclose, METH_NOARGS, "aclose($self)\n--\n\n"},
    {"__aenter__", stream_aenter, METH_NOARGS, "__aenter__($self)\n--\n\n"},
    {"__aexit__", VANTOREL_KW(stream_aexit), METH_VARARGS | METH_KEYWORDS,
     "__aexit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef g_stream_getset[] = {
    {"columns", stream_columns, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot g_stream_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(stream_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_methods, g_stream_methods},
    {Py_tp_getset, g_stream_getset},
    {Py_am_aiter, reinterpret_cast<void*>(stream_aiter)},
    {Py_am_anext, reinterpret_cast<void*>(stream_anext)},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec g_stream_spec = {"vantorel.BatchStream", sizeof(BatchStreamObject), 0, Py_TPFLAGS_DEFAULT,
                             g_stream_slots};

// ---- BlockingBatchStream -------------------------------------------------

struct BlockingStreamState {
    std::optional<stream::OpenCursor> pair;  // present while the stream can fetch
    bool done = false;
    std::vector<ColumnMeta> columns;
    std::uint64_t batch_size = 0;
    RowShape shape;
    // Keeps the engine's runtime running while the stream may still fetch,
    // even after the BlockingEngine itself is gone.
    std::shared_ptr<rt::Runtime> runtime;
    Batch spare;  // the last batch returned, whose storage the next fetch reuses
};

struct BlockingStreamObject {
    PyObject_HEAD
    BlockingStreamState state;
};

PyObject* g_blocking_type = nullptr;  // created once per process

BlockingStreamState& blocking_of(PyObject* self) { return reinterpret_cast<BlockingStreamObject*>(self)->state; }

// Frees the statement, then returns the connection: ODBC calls, so
// without the interpreter lock.
void free_pair(std::optional<stream::OpenCursor>& pair) {
    if (!pair) return;
    Py_BEGIN_ALLOW_THREADS
    pair.reset();
    Py_END_ALLOW_THREADS
}

void blocking_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    BlockingStreamState& state = blocking_of(self);
    // The last holder of the runtime shuts it down and joins its threads,
    // which may be waiting for the interpreter lock.
    Py_BEGIN_ALLOW_THREADS
    state.pair.reset();
    state.runtime.reset();
    Py_END_ALLOW_THREADS
    state.~BlockingStreamState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* blocking_columns(PyObject* self, void*) {
    return guarded([&]() -> PyObject* { return column_names(blocking_of(self).columns).release(); });
}

PyObject* blocking_iter(PyObject* self) { return Py_NewRef(self); }

// NULL without an exception set is the end of the iteration.
PyObject* blocking_next(PyObject* self) {
    return guarded([&]() -> PyObject* {
        BlockingStreamState& state = blocking_of(self);
        if (state.done) return nullptr;
        if (!state.pair) {
            state.done = true;
            return nullptr;
        }
        std::optional<stream::OpenCursor> pair = std::move(state.pair);
        state.pair.reset();
        std::shared_ptr<rt::Runtime> runtime = state.runtime;
        const std::uint64_t n = state.batch_size;

        std::optional<rt::JobResult<rt::JobResult<stream::BlockingStep>>> outcome;
        Py_BEGIN_ALLOW_THREADS
        outcome.emplace(rt::block_on(*runtime, stream::fetch_step(std::move(*pair), n, std::move(state.spare))));
        pair.reset();
        Py_END_ALLOW_THREADS

        // The job failed: the pair went down with it.
        if (!*outcome || !**outcome) {
            state.done = true;
            const rt::JobError& failure = !*outcome ? outcome->error() : (*outcome)->error();
            return raise(rt::job_failure(failure));
        }
        stream::BlockingStep& step = ***outcome;
        std::optional<stream::OpenCursor> back(std::move(step.opened));
        if (!step.rows || step.rows->empty()) {
            state.done = true;
            free_pair(back);
            if (!step.rows) return raise(step.rows.error());
            return nullptr;
        }
        state.pair = std::move(back);
        Ref rows = state.shape.convert(state.columns, *step.rows);
        state.spare = std::move(*step.rows);  // its storage serves the next fetch
        return rows.release();
    });
}

PyGetSetDef g_blocking_getset[] = {
    {"columns", blocking_columns, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef g_blocking_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_blocking_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(blocking_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_methods, g_blocking_methods},
    {Py_tp_getset, g_blocking_getset},
    {Py_tp_iter, reinterpret_cast<void*>(blocking_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(blocking_next)},
    {Py_tp_doc, const_cast<char*>(
                    "Iterador sincrono por lotes sobre el mismo cursor que el stream asincrono; cada __next__ "
                    "bloquea al llamador mientras lee un lote, asi la memoria queda acotada a un lote.")},
    {0, nullptr},
};

PyType_Spec g_blocking_spec = {"vantorel.BlockingBatchStream", sizeof(BlockingStreamObject), 0, Py_TPFLAGS_DEFAULT,
                               g_blocking_slots};

}  // namespace

PyObject* make_batch_stream_type() {
    if (g_stream_type == nullptr) {
        g_stream_type = create_type(&g_stream_spec, "BatchStream");
        if (g_stream_type == nullptr) return nullptr;
    }
    return Py_NewRef(g_stream_type);
}

PyObject* make_blocking_batch_stream_type() {
    if (g_blocking_type == nullptr) {
        g_blocking_type = create_type(&g_blocking_spec, "BlockingBatchStream");
        if (g_blocking_type == nullptr) return nullptr;
    }
    return Py_NewRef(g_blocking_type);
}

PyObject* open_batch_stream(const EngineState& state, PyObject* args, PyObject* kwargs, const char* format) {
    return guarded([&]() -> PyObject* {
        std::u16string sql;
        PyObject* params_obj = nullptr;
        std::uint64_t batch_size = 0;
        Params params;
        if (!parse_stream_args(args, kwargs, format, state.options, sql, params_obj, batch_size)) return nullptr;
        if (!params_from_python(params_obj, params)) return nullptr;
        if (g_stream_type == nullptr) {
            Ref type = Ref::steal(make_batch_stream_type());
            if (!type) return nullptr;
        }
        rt::Runtime* runtime = process_runtime();
        if (runtime == nullptr) return nullptr;
        const stream::Settings settings{batch_size, state.options.prefetch_batches, state.options.query_timeout};
        auto body = stream::open_async(runtime->shared_from_this(), state.engine, std::move(sql), std::move(params),
                                       settings);
        return spawn_future<std::shared_ptr<stream::AsyncBatchStream>>(
            std::move(body), [shape = RowShape(state.options)](std::shared_ptr<stream::AsyncBatchStream>& core) {
                return wrap_stream(std::move(core), shape);
            });
    });
}

PyObject* open_blocking_batch_stream(const EngineState& state, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::u16string sql;
        PyObject* params_obj = nullptr;
        std::uint64_t batch_size = 0;
        Params params;
        if (!parse_stream_args(args, kwargs, "O!|OO:stream", state.options, sql, params_obj, batch_size))
            return nullptr;
        if (!check_no_running_loop()) return nullptr;
        if (!params_from_python(params_obj, params)) return nullptr;
        if (g_blocking_type == nullptr) {
            Ref type = Ref::steal(make_blocking_batch_stream_type());
            if (!type) return nullptr;
        }
        std::shared_ptr<rt::Runtime> runtime = state.runtime;
        return run_blocking_call<stream::OpenCursor>(
            *runtime, stream::open_cursor(state.engine, std::move(sql), std::move(params)),
            [&](stream::OpenCursor& opened) -> Ref {
                auto* type = reinterpret_cast<PyTypeObject*>(g_blocking_type);
                Ref object = Ref::steal(type->tp_alloc(type, 0));
                if (!object) return {};
                std::vector<ColumnMeta> columns = opened.cursor.columns();
                new (&blocking_of(object.get())) BlockingStreamState{
                    std::optional<stream::OpenCursor>(std::move(opened)), false, std::move(columns), batch_size,
                    RowShape(state.options), runtime, Batch{}};
                return object;
            });
    });
}

}  // namespace vantorel::py
