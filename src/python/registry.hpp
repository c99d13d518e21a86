// A module's function table: registers the functions on the module in table
// order and lists their names in __all__.
#pragma once

#include <string>
#include <vector>

#include "args.hpp"

namespace kelm::py {

class FunctionTable {
public:
    explicit FunctionTable(std::vector<const Function*> functions);
    FunctionTable(const FunctionTable&) = delete;
    FunctionTable& operator=(const FunctionTable&) = delete;

    // Adds the functions one by one, each bound to the module under
    // module_name; false with the Python error set on failure.
    bool add_to(PyObject* module, const char* module_name);

private:
    std::vector<const Function*> functions_;
    std::vector<std::string> docs_;       // text signatures, kept alive for the method table
    std::vector<PyMethodDef> methods_;    // one per function and the terminator
};

}  // namespace kelm::py
