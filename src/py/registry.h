// Filling a module from an ordered list of (name, factory) pairs.
#pragma once

#include "py/pyref.h"

#include <span>

namespace vantorel::py {

struct Registration {
    const char* name;
    PyObject* (*make)();  // new reference, or nullptr with an error set
};

// Adds each entry in order; the first failure stops and is the import error.
inline int populate(PyObject* module, std::span<const Registration> entries) {
    for (const Registration& entry : entries) {
        PyObject* value = entry.make();
        if (value == nullptr) return -1;
        if (PyModule_AddObject(module, entry.name, value) < 0) {
            Py_DECREF(value);
            return -1;
        }
    }
    return 0;
}

}  // namespace vantorel::py
