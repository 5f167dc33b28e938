// Db2iEngine: every database method returns an asyncio future; the work
// runs on the process-wide runtime and never blocks the event loop.
#include "core/operations.h"
#include "py/bridge.h"
#include "py/config.h"
#include "py/convert.h"
#include "py/engines.h"
#include "py/errors.h"
#include "py/stream.h"

namespace vantorel::py {

namespace {

struct Db2iEngineObject {
    PyObject_HEAD
    EngineState state;
};

PyObject* g_type = nullptr;  // created once per process

Db2iEngineObject* self_of(PyObject* self) { return reinterpret_cast<Db2iEngineObject*>(self); }

// A new Db2iEngine around an engine; runs under the lock.
Ref wrap_engine(std::shared_ptr<Engine> engine, const vantorel::EngineOptions& options) {
    auto* type = reinterpret_cast<PyTypeObject*>(g_type);
    Ref object = Ref::steal(type->tp_alloc(type, 0));
    if (!object) return {};
    new (&self_of(object.get())->state) EngineState{std::move(engine), options, nullptr};
    return object;
}

void engine_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    EngineState& state = self_of(self)->state;
    release_engine(state.engine);
    state.~EngineState();
    type->tp_free(self);
    Py_DECREF(type);
}

PyObject* connect_with(SecretString dsn, vantorel::EngineOptions options) {
    auto body = ops::open_engine(std::move(dsn), options);
    return spawn_future<std::shared_ptr<Engine>>(
        std::move(body), [options](std::shared_ptr<Engine>& engine) { return wrap_engine(std::move(engine), options); });
}

PyObject* engine_connect(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        SecretString dsn;
        vantorel::EngineOptions options;
        if (!parse_connect_args(args, kwargs, "O!|O:connect", dsn, options)) return nullptr;
        return connect_with(std::move(dsn), std::move(options));
    });
}

PyObject* engine_from_env(PyObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        SecretString dsn;
        vantorel::EngineOptions options;
        if (!parse_from_env_args(args, kwargs, "O|OO:from_env", dsn, options, nullptr)) return nullptr;
        return connect_with(std::move(dsn), std::move(options));
    });
}

PyObject* engine_close(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        close_engine(self_of(self)->state.engine);
        Py_RETURN_NONE;
    });
}

PyObject* engine_aenter(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* { return completed_future(self); });
}

PyObject* engine_aexit(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        static const char* kwlist[] = {"_exc_type", "_exc_value", "_traceback", nullptr};
        PyObject *a = nullptr, *b = nullptr, *c = nullptr;
        if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|OOO:__aexit__", const_cast<char**>(kwlist), &a, &b, &c))
            return nullptr;
        close_engine(self_of(self)->state.engine);
        return completed_future(Py_False);
    });
}

PyObject* engine_execute(PyObject* self, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        std::u16string sql;
        PyObject* params_obj = nullptr;
        Params params;
        if (!parse_sql_params(args, kwargs, "O!|O:execute", sql, params_obj)) return nullptr;
        if (!params_from_python(params_obj, params)) return nullptr;
        auto body = ops::execute(self_of(self)->state.engine, std::move(sql), std::move(params));
        return spawn_future<std::int64_t>(std::move(body),
                                          [](std::int64_t& count) { return Ref::steal(PyLong_FromLongLong(count)); });
    });
}

template <FetchShape Shape>
PyObject* engine_fetch(PyObject* self, PyObject* args, PyObject* kwargs) {
    static constexpr const char* kFormats[] = {"O!|O:fetch_all", "O!|O:fetch_one", "O!|O:fetch_value",
                                               "O!|O:fetch_column"};
    return guarded([&]() -> PyObject* {
        std::u16string sql;
        PyObject* params_obj = nullptr;
        Params params;
        if (!parse_sql_params(args, kwargs, kFormats[static_cast<int>(Shape)], sql, params_obj)) return nullptr;
        if (!params_from_python(params_obj, params)) return nullptr;
        return fetch_to_future(self_of(self)->state, std::move(sql), std::move(params), Shape);
    });
}

#define VANTOREL_KW(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void*>(fn))

PyMethodDef g_methods[] = {
    {"connect", VANTOREL_KW(engine_connect), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "connect(credentials, options=None)\n--\n\n"},
    {"from_env", VANTOREL_KW(engine_from_env), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "from_env(client_code, environment=None, options=None)\n--\n\n"},
    {"close", engine_close, METH_NOARGS,
     "close($self)\n--\n\nCierra el pool. Idempotente -- llamar dos veces no rompe nada."},
    {"__aenter__", engine_aenter, METH_NOARGS, "__aenter__($self)\n--\n\n"},
    {"__aexit__", VANTOREL_KW(engine_aexit), METH_VARARGS | METH_KEYWORDS,
     "__aexit__($self, _exc_type=None, _exc_value=None, _traceback=None)\n--\n\n"},
    {"execute", VANTOREL_KW(engine_execute), METH_VARARGS | METH_KEYWORDS, "execute($self, sql, params=None)\n--\n\n"},
    {"fetch_all", VANTOREL_KW(engine_fetch<FetchShape::All>), METH_VARARGS | METH_KEYWORDS,
     "fetch_all($self, sql, params=None)\n--\n\n"},
    {"fetch_one", VANTOREL_KW(engine_fetch<FetchShape::One>), METH_VARARGS | METH_KEYWORDS,
     "fetch_one($self, sql, params=None)\n--\n\n"},
    {"fetch_value", VANTOREL_KW(engine_fetch<FetchShape::Value>), METH_VARARGS | METH_KEYWORDS,
     "fetch_value($self, sql, params=None)\n--\n\n"},
    {"fetch_column", VANTOREL_KW(engine_fetch<FetchShape::Column>), METH_VARARGS | METH_KEYWORDS,
     "fetch_column($self, sql, params=None)\n--\n\n"},
    {"stream_batches", VANTOREL_KW(+[](PyObject* self, PyObject* args, PyObject* kwargs) {
         return open_batch_stream(self_of(self)->state, args, kwargs, "O!|OO:stream_batches");
     }),
     METH_VARARGS | METH_KEYWORDS, "stream_batches($self, sql, params=None, batch_size=None)\n--\n\n"},
    {"stream", VANTOREL_KW(+[](PyObject* self, PyObject* args, PyObject* kwargs) {
         return open_batch_stream(self_of(self)->state, args, kwargs, "O!|OO:stream");
     }),
     METH_VARARGS | METH_KEYWORDS, "stream($self, sql, params=None, batch_size=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot g_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(engine_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor_new)},
    {Py_tp_methods, g_methods},
    {Py_tp_doc, const_cast<char*>("")},
    {0, nullptr},
};

PyType_Spec g_spec = {"vantorel.Db2iEngine", sizeof(Db2iEngineObject), 0, Py_TPFLAGS_DEFAULT, g_slots};

}  // namespace

PyObject* make_db2i_engine_type() {
    if (g_type == nullptr) {
        g_type = create_type(&g_spec, "Db2iEngine");
        if (g_type == nullptr) return nullptr;
    }
    return Py_NewRef(g_type);
}

}  // namespace vantorel::py
