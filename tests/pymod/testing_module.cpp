#include "testing.h"

#include "py/errors.h"

namespace vantorel::testing {

std::vector<PyMethodDef>& testing_methods() {
    static std::vector<PyMethodDef> methods;
    return methods;
}

namespace {

PyModuleDef g_def = {PyModuleDef_HEAD_INIT, "_vantorel_testing", nullptr, -1, nullptr,
                     nullptr,               nullptr,             nullptr, nullptr};

}  // namespace
}  // namespace vantorel::testing

PyMODINIT_FUNC PyInit__vantorel_testing(void) {
    using namespace vantorel;
    auto& methods = testing::testing_methods();
    methods.push_back(PyMethodDef{nullptr, nullptr, 0, nullptr});
    testing::g_def.m_methods = methods.data();
    PyObject* module = PyModule_Create(&testing::g_def);
    if (module == nullptr) return nullptr;
    // This module links its own copy of the exception types: expose them so
    // tests compare against the classes this module raises.
    for (int i = 0; i < py::kExceptionCount; ++i) {
        auto which = static_cast<py::Exc>(i);
        PyObject* type = py::exception_type(which);
        if (type == nullptr || PyModule_AddObjectRef(module, py::exception_name(which), type) < 0) {
            Py_DECREF(module);
            return nullptr;
        }
    }
    return module;
}
