// Entry point of `_vantorel`. The module is built once per process and
// bound to the first interpreter that imports it.
#include "py/config.h"
#include "py/engines.h"
#include "py/errors.h"
#include "py/registry.h"
#include "py/stream.h"

namespace vantorel::py {
namespace {

PyObject* version_object() { return PyUnicode_FromString("0.9.3"); }

template <Exc which>
PyObject* exception_object() {
    return Py_XNewRef(exception_type(which));
}

// What the module holds, in the order it is filled. Classes and functions
// join this list in their place as they are built.
constexpr Registration kRegistrations[] = {
    {"__version__", version_object},
    {"VantorelError", exception_object<Exc::VantorelError>},
    {"ConfigurationError", exception_object<Exc::ConfigurationError>},
    {"ConnectError", exception_object<Exc::ConnectError>},
    {"PoolTimeout", exception_object<Exc::PoolTimeout>},
    {"InterfaceError", exception_object<Exc::InterfaceError>},
    {"QueryError", exception_object<Exc::QueryError>},
    {"SqlSyntaxError", exception_object<Exc::SqlSyntaxError>},
    {"IntegrityError", exception_object<Exc::IntegrityError>},
    {"DataError", exception_object<Exc::DataError>},
    {"OperationTimeout", exception_object<Exc::OperationTimeout>},
    {"ParameterError", exception_object<Exc::ParameterError>},
    {"ProcValidationError", exception_object<Exc::ProcValidationError>},
    {"BulkFailure", exception_object<Exc::BulkFailure>},
    {"MergeFailure", exception_object<Exc::MergeFailure>},
    {"CatalogError", exception_object<Exc::CatalogError>},
    {"FeatureUnavailable", exception_object<Exc::FeatureUnavailable>},
    {"Credentials", make_credentials_type},
    {"EngineOptions", make_engine_options_type},
    {"load_dotenv", make_load_dotenv},
    {"Db2iEngine", make_db2i_engine_type},
    {"BatchStream", make_batch_stream_type},
    {"BlockingEngine", make_blocking_engine_type},
    {"BlockingBatchStream", make_blocking_batch_stream_type},
};

PyModuleDef g_module_def = {
    PyModuleDef_HEAD_INIT,
    "_vantorel",
    nullptr,
    // Not -1: with -1 a later import copies the first module's namespace
    // without calling the entry point, which would hand out a second module
    // object and let a subinterpreter in unchecked.
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

// Both written once under the interpreter lock of the first import.
PyObject* g_module = nullptr;
PyInterpreterState* g_interpreter = nullptr;

PyObject* init_module() {
    PyInterpreterState* current = PyInterpreterState_Get();
    if (g_interpreter != nullptr && g_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "_vantorel: subinterpreters are not supported; import it from the main interpreter only");
        return nullptr;
    }
    if (g_module != nullptr) return Py_NewRef(g_module);

    Ref module = Ref::steal(PyModule_Create(&g_module_def));
    if (!module) return nullptr;
    if (populate(module.get(), kRegistrations) < 0) return nullptr;
    g_interpreter = current;
    g_module = Py_NewRef(module.get());
    return module.release();
}

}  // namespace
}  // namespace vantorel::py

PyMODINIT_FUNC PyInit__vantorel(void) {
    return vantorel::py::guarded([] { return vantorel::py::init_module(); });
}
