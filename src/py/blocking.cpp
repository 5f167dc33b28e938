// BlockingEngine: the asynchronous engine's bodies, driven to completion on
// the calling thread with the interpreter lock released, on a runtime that
// belongs to this engine alone.
#include "core/operations.h"
#include "py/bridge.h"
#include "py/config.h"
#include "py/convert.h"
#include "py/engines.h"
#include "py/errors.h"
#include "py/stream.h"

namespace vantorel::py {

namespace {

struct BlockingEngineObject {
    PyObject_HEAD
    EngineState state;
};

PyObject* g_type = nullptr;  // created once per process

BlockingEngineObject* self_of(PyObject* self) { return reinterpret_cast<BlockingEngineObject*>(self); }

void blocking_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    EngineState& state = self_of(self)->state;
    release_engine(state.engine);
    // Streams may still share the runtime; the last holder shuts it down,
    // joining its threads, which may be waiting for the lock.
    Py_BEGIN_ALLOW_THREADS
    state.runtime.reset();
    Py_END_ALLOW_THREADS
    state.~EngineState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* connect_with(SecretString dsn, vantorel::EngineOptions options) {
    auto runtime = rt::Runtime::create(1);
    if (!runtime) {
        return raise(CoreError::config("no se pudo construir el runtime del BlockingEngine: " + runtime.error()));
    }
    auto* type = reinterpret_cast<PyTypeObject*>(g_type);
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object) return nullptr;
    new (&self_of(object.get())->state) EngineState{nullptr, options, *runtime};
    EngineState& state = self_of(object.get())->state;
    PyObject* done = run_blocking_call<std::shared_ptr<Engine>>(
        *state.runtime, ops::open_engine(std::move(dsn), options), [&](std::shared_ptr<Engine>& engine) {
            state.engine = std::move(engine);
            return Ref::borrow(Py_None);
        });
    if (done == nullptr) return nullptr;
    Py_DECREF(done);
    return object.release();
}

PyObject* blocking_connect(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        SecretString dsn;
        vantorel::EngineOptions options;
        if (!parse_connect_args(args, kwargs, "O!|O:connect", dsn, options)) return nullptr;
        return connect_with(std::move(dsn), std::move(options));
    });
}

PyObject* blocking_from_env(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        SecretString dsn;
        vantorel::EngineOptions options;
        if (!parse_from_env_args(args, kwargs, "O|OO:from_env", dsn, options, check_no_running_loop))
            return nullptr;
        return connect_with(std::move(dsn), std::move(options));
    });
}

PyObject* blocking_close(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        close_engine(self_of(self)->state.engine);
        Py_RETURN_NONE;
    });
}

// Arguments, then the running-loop guard, then the parameters: the guard
// must refuse before any conversion runs.
bool prepare(PyObject* args, PyObject* kwargs, const char* format, std::u16string& sql, Params& params) {
    PyObject* params_obj = nullptr;
    if (!parse_sql_params(args, kwargs, format, sql, params_obj)) return false;
    if (!check_no_running_loop()) return false;
    return params_from_python(params_obj, params);
}

PyObject* blocking_execute(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::u16string sql;
        Params params;
        if (!prepare(args, kwargs, "O!|O:execute", sql, params)) return nullptr;
        EngineState& state = self_of(self)->state;
        return run_blocking_call<std::int64_t>(
            *state.runtime, ops::execute(state.engine, std::move(sql), std::move(params)),
            [](std::int64_t& count) { return Ref::steal(PyLong_FromLongLong(count)); });
    });
}

template <FetchShape Shape>
PyObject* blocking_fetch(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr const char* kFormats[] = {"O!|O:fetch_all", "O!|O:fetch_one", "O!|O:fetch_value",
                                               "O!|O:fetch_column"};
    return guarded([&]() -> PyObject* {
        std::u16string sql;
        Params params;
        if (!prepare(args, kwargs, kFormats[static_cast<int>(Shape)], sql, params)) return nullptr;
        return fetch_on_this_thread(self_of(self)->state, std::move(sql), std::move(params), Shape);
    });
}

#define VANTOREL_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(fn))

PyMethodDef g_methods[] = {
    {"connect", VANTOREL_KW(blocking_connect), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "connect(credentials, options=None)\n--\n\n"},
    {"from_env", VANTOREL_KW(blocking_from_env), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_env(client_code, environment=None, options=None)\n--\n\n"},
    {"close", blocking_close, METH_NOARGS, "close($self)\n--\n\nCierra el pool. Idempotente."},
    {"execute", VANTOREL_KW(blocking_execute), METH_VARARGS | METH_KEYWORDS,
     "execute($self, sql, params=None)\n--\n\n"},
    {"fetch_all", VANTOREL_KW(blocking_fetch<FetchShape::All>), METH_VARARGS | METH_KEYWORDS,
     "fetch_all($self, sql, params=None)\n--\n\n"},
    {"fetch_one", VANTOREL_KW(blocking_fetch<FetchShape::One>), METH_VARARGS | METH_KEYWORDS,
     "fetch_one($self, sql, params=None)\n--\n\n"},
    {"fetch_value", VANTOREL_KW(blocking_fetch<FetchShape::Value>), METH_VARARGS | METH_KEYWORDS,
     "fetch_value($self, sql, params=None)\n--\n\n"},
    {"fetch_column", VANTOREL_KW(blocking_fetch<FetchShape::Column>), METH_VARARGS | METH_KEYWORDS,
     "fetch_column($self, sql, params=None)\n--\n\n"},
    {"stream", VANTOREL_KW(+[](PyObject* self, PyObject* args, PyObject* kwargs) {
         return open_blocking_batch_stream(self_of(self)->state, args, kwargs);
     }),
     METH_VARARGS | METH_KEYWORDS, "stream($self, sql, params=None, batch_size=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(blocking_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec g_spec = {"vantorel.BlockingEngine", sizeof(BlockingEngineObject), 0, Py_TPFLAGS_DEFAULT, g_slots};

}  // namespace

PyObject* make_blocking_engine_type() {
    if (g_type == nullptr) {
        g_type = create_type(&g_spec, "BlockingEngine");
        if (g_type == nullptr) return nullptr;
    }
    return Py_NewRef(g_type);
}

}  // namespace vantorel::py
