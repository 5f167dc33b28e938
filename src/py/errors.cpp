#include "py/errors.h"

#include <array>
#include <mutex>

namespace vantorel::py {

namespace {

struct ExcInfo {
    const char* name;
    const char* qualified;
    Exc base;
    bool root;
};

constexpr std::array<ExcInfo, kExceptionCount> kExceptions{{
    {"VantorelError", "vantorel.VantorelError", Exc::VantorelError, true},
    {"ConfigurationError", "vantorel.ConfigurationError", Exc::VantorelError, false},
    {"ConnectError", "vantorel.ConnectError", Exc::VantorelError, false},
    {"PoolTimeout", "vantorel.PoolTimeout", Exc::ConnectError, false},
    {"InterfaceError", "vantorel.InterfaceError", Exc::VantorelError, false},
    {"QueryError", "vantorel.QueryError", Exc::VantorelError, false},
    {"SqlSyntaxError", "vantorel.SqlSyntaxError", Exc::QueryError, false},
    {"IntegrityError", "vantorel.IntegrityError", Exc::QueryError, false},
    {"DataError", "vantorel.DataError", Exc::QueryError, false},
    {"OperationTimeout", "vantorel.OperationTimeout", Exc::QueryError, false},
    {"ParameterError", "vantorel.ParameterError", Exc::VantorelError, false},
    {"ProcValidationError", "vantorel.ProcValidationError", Exc::ParameterError, false},
    {"BulkFailure", "vantorel.BulkFailure", Exc::VantorelError, false},
    {"MergeFailure", "vantorel.MergeFailure", Exc::VantorelError, false},
    {"CatalogError", "vantorel.CatalogError", Exc::VantorelError, false},
    {"FeatureUnavailable", "vantorel.FeatureUnavailable", Exc::VantorelError, false},
}};

// Written once under the interpreter lock and kept for the process.
std::array<PyObject*, kExceptionCount> g_types{};

}  // namespace

const char* exception_name(Exc which) noexcept { return kExceptions[static_cast<int>(which)].name; }

PyObject* exception_type(Exc which) {
    const auto index = static_cast<int>(which);
    if (g_types[index] != nullptr) return g_types[index];
    const ExcInfo& info = kExceptions[index];
    PyObject* base = info.root ? PyExc_Exception : exception_type(info.base);
    if (base == nullptr) return nullptr;
    PyObject* type = PyErr_NewException(info.qualified, base, nullptr);
    if (type == nullptr) return nullptr;
    g_types[index] = type;
    return type;
}

PyObject* PendingError::raise() const {
    Ref exc = instance();
    if (exc) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
    return nullptr;
}

Ref PendingError::instance() const {
    PyObject* exc_type = exception_type(type);
    if (exc_type == nullptr) return {};
    Ref message = str_from_utf8(text);
    if (!message) return {};
    return Ref::steal(PyObject_CallOneArg(exc_type, message.get()));
}

PendingError to_py_err(const CoreError& error) {
    Exc type = Exc::VantorelError;
    switch (error.kind()) {
        case ErrorKind::Config: type = Exc::ConfigurationError; break;
        case ErrorKind::Connect: type = Exc::ConnectError; break;
        case ErrorKind::PoolTimeout: type = Exc::PoolTimeout; break;
        case ErrorKind::Interface: type = Exc::InterfaceError; break;
        case ErrorKind::Parameter: type = Exc::ParameterError; break;
        case ErrorKind::Data: type = Exc::DataError; break;
        case ErrorKind::Catalog: type = Exc::CatalogError; break;
        case ErrorKind::FeatureUnavailable: type = Exc::FeatureUnavailable; break;
        case ErrorKind::Query:
            switch (classify_sqlstate(error.sqlstate())) {
                case QueryClass::SqlSyntax: type = Exc::SqlSyntaxError; break;
                case QueryClass::Integrity: type = Exc::IntegrityError; break;
                case QueryClass::Data: type = Exc::DataError; break;
                case QueryClass::OperationTimeout: type = Exc::OperationTimeout; break;
                case QueryClass::Query: type = Exc::QueryError; break;
            }
            break;
    }
    return PendingError{type, scrub_password(error.display())};
}

PyObject* raise(Exc type, std::string_view text) { return PendingError{type, std::string(text)}.raise(); }

PyObject* raise_internal_fault(std::string_view detail) {
    std::string text = "vantorel: fallo interno: ";
    text += detail;
    Ref message = str_from_utf8(text);
    if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
    return nullptr;
}

PyObject* create_type(PyType_Spec* spec, const char* class_name) {
    PyObject* type = PyType_FromSpec(spec);
    if (type == nullptr) {
        PyErr_Print();
        PyErr_Format(PyExc_SystemError, "failed to create type object for %s", class_name);
    }
    return type;
}

PyObject* no_constructor_new(PyTypeObject* type, PyObject*, PyObject*) {
    PyObject* name = PyType_GetName(type);
    if (name == nullptr) return nullptr;
    PyErr_Format(PyExc_TypeError, "No constructor defined for %U", name);
    Py_DECREF(name);
    return nullptr;
}

Ref str_from_utf8(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

}  // namespace vantorel::py
