#include "py/engines.h"

#include "py/config.h"
#include "py/convert.h"
#include "py/errors.h"

namespace vantorel::py {

Ref convert_query(QueryResult& result, FetchShape shape, const vantorel::EngineOptions& options) {
    const ConvertOptions convert{options.strip_char_padding, options.decimal_mode};
    switch (shape) {
        case FetchShape::All: return batch_to_pylist(result.columns, result.rows, convert);
        case FetchShape::One: return first_row_to_pydict(result.columns, result.rows, convert);
        case FetchShape::Value: return first_value_to_py(result.columns, result.rows, convert);
        case FetchShape::Column: return first_column_to_pylist(result.columns, result.rows, convert);
    }
    return Ref::borrow(Py_None);
}

bool parse_sql_params(PyObject* args, PyObject* kwargs, const char* format, std::u16string& sql,
                      PyObject*& params) {
    static const char* kwlist[] = {"sql", "params", nullptr};
    PyObject* sql_obj = nullptr;
    params = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &PyUnicode_Type, &sql_obj,
                                     &params)) {
        return false;
    }
    return units_from_str(sql_obj, sql);
}

namespace {

bool take_options(PyObject* options_obj, vantorel::EngineOptions& options) {
    if (options_obj != Py_None && !is_engine_options(options_obj)) {
        PyErr_Format(PyExc_TypeError, "argument 'options' must be vantorel.EngineOptions or None, not %s",
                     Py_TYPE(options_obj)->tp_name);
        return false;
    }
    options = options_of(options_obj);
    return true;
}

}  // namespace

bool parse_connect_args(PyObject* args, PyObject* kwargs, const char* format, SecretString& dsn,
                        vantorel::EngineOptions& options) {
    static const char* kwlist[] = {"credentials", "options", nullptr};
    PyObject* credentials = nullptr;
    PyObject* options_obj = Py_None;
    PyObject* type = credentials_type();
    if (type == nullptr) return false;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), type, &credentials,
                                     &options_obj)) {
        return false;
    }
    if (!take_options(options_obj, options)) return false;
    auto resolved = resolve_dsn(credentials);
    if (!resolved) {
        raise(resolved.error());
        return false;
    }
    dsn = std::move(*resolved);
    return true;
}

bool parse_from_env_args(PyObject* args, PyObject* kwargs, const char* format, SecretString& dsn,
                         vantorel::EngineOptions& options, bool (*before_env)()) {
    static const char* kwlist[] = {"client_code", "environment", "options", nullptr};
    PyObject* client_code = nullptr;
    PyObject* environment = Py_None;
    PyObject* options_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, format, const_cast<char**>(kwlist), &client_code, &environment,
                                     &options_obj)) {
        return false;
    }
    if (before_env != nullptr && !before_env()) return false;
    if (!take_options(options_obj, options)) return false;
    std::optional<CredentialsData> data = credentials_from_env(client_code, environment);
    if (!data) return false;
    auto resolved = vantorel::resolve_dsn(*data);
    if (!resolved) {
        raise(resolved.error());
        return false;
    }
    dsn = std::move(*resolved);
    return true;
}

bool check_no_running_loop() {
    static PyObject* get_running_loop = nullptr;  // looked up once, under the lock
    if (get_running_loop == nullptr) {
        Ref asyncio = Ref::steal(PyImport_ImportModule("asyncio"));
        if (!asyncio) return false;
        get_running_loop = PyObject_GetAttrString(asyncio.get(), "get_running_loop");
        if (get_running_loop == nullptr) return false;
    }
    Ref loop = Ref::steal(PyObject_CallNoArgs(get_running_loop));
    if (!loop) {
        PyErr_Clear();  // no loop runs on this thread
        return true;
    }
    raise(Exc::InterfaceError,
          "BlockingEngine: hay un event loop de asyncio corriendo en este hilo. Usa la API async (Db2iEngine) o "
          "llama desde un hilo sin event loop.");
    return false;
}

void close_engine(const std::shared_ptr<Engine>& engine) {
    if (!engine) return;
    Py_BEGIN_ALLOW_THREADS
    engine->close();
    Py_END_ALLOW_THREADS
}

void release_engine(std::shared_ptr<Engine>& engine) {
    if (!engine) return;
    Py_BEGIN_ALLOW_THREADS
    engine.reset();
    Py_END_ALLOW_THREADS
}

}  // namespace vantorel::py
