// Test access to the connection string a Credentials resolves to, and a
// single login with it, without an engine.
#include "testing.h"

#include "core/odbc/handles.h"
#include "py/config.h"
#include "py/errors.h"

namespace vantorel::testing {
namespace {

// This module's own copy of the class (the one its functions accept).
PyObject* credentials_type(PyObject*, PyObject*) { return py::make_credentials_type(); }

PyObject* require_credentials(PyObject* object) {
    if (py::is_credentials(object)) return object;
    PyErr_SetString(PyExc_TypeError, "expected _vantorel_testing.credentials_type() instance");
    return nullptr;
}

PyObject* resolved_connection_string(PyObject*, PyObject* credentials) {
    return py::guarded([&]() -> PyObject* {
        if (require_credentials(credentials) == nullptr) return nullptr;
        Result<SecretString> dsn = py::resolve_dsn(credentials);
        if (!dsn) return py::raise(dsn.error());
        return py::str_from_utf8(dsn->expose()).release();
    });
}

// Opens one connection with the resolved string and closes it again; a
// failure is raised like any other error of this module.
PyObject* connect_with_credentials(PyObject*, PyObject* credentials) {
    return py::guarded([&]() -> PyObject* {
        if (require_credentials(credentials) == nullptr) return nullptr;
        Result<SecretString> dsn = py::resolve_dsn(credentials);
        if (!dsn) return py::raise(dsn.error());
        Result<odbc::RawConnection> connection;
        Py_BEGIN_ALLOW_THREADS
        connection = odbc::RawConnection::open(*dsn, 10);
        Py_END_ALLOW_THREADS
        if (!connection) return py::raise(connection.error());
        Py_RETURN_NONE;
    });
}

const TestingFunctions kFunctions{
    {"credentials_type", credentials_type, METH_NOARGS, "credentials_type()\n--\n\n"},
    {"resolved_connection_string", resolved_connection_string, METH_O,
     "resolved_connection_string(credentials)\n--\n\n"},
    {"connect_with_credentials", connect_with_credentials, METH_O, "connect_with_credentials(credentials)\n--\n\n"},
};

}  // namespace
}  // namespace vantorel::testing
