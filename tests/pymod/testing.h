// The test-only module `_vantorel_testing`: each source file in this
// folder contributes functions through a static TestingFunctions object,
// so files can be added without touching a shared list.
#pragma once

#include "py/pyref.h"

#include <vector>

namespace vantorel::testing {

std::vector<PyMethodDef>& testing_methods();

struct TestingFunctions {
    explicit TestingFunctions(std::initializer_list<PyMethodDef> defs) {
        for (const PyMethodDef& def : defs) testing_methods().push_back(def);
    }
};

}  // namespace vantorel::testing
