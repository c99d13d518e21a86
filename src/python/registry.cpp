#include "registry.hpp"

namespace kelm::py {

namespace {

PyMethodDef method_entry(const Function& fn, const std::string& doc) {
    if (fn.no_args) return {fn.name, reinterpret_cast<PyCFunction>(fn.no_args), METH_NOARGS, doc.c_str()};
    return {fn.name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn.fastcall)),
            METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
}

}  // namespace

FunctionTable::FunctionTable(std::vector<const Function*> functions)
    : functions_(std::move(functions)), docs_(functions_.size()), methods_(functions_.size() + 1) {}

bool FunctionTable::add_to(PyObject* module, const char* module_name) {
    PyObject* all = PyList_New(0);
    PyObject* name_obj = PyUnicode_FromString(module_name);
    if (!all || !name_obj) {
        Py_XDECREF(all);
        Py_XDECREF(name_obj);
        return false;
    }
    for (std::size_t i = 0; i < functions_.size(); ++i) {
        docs_[i] = functions_[i]->text_signature();
        methods_[i] = method_entry(*functions_[i], docs_[i]);
        PyObject* name = PyUnicode_FromString(functions_[i]->name);
        PyObject* function = name ? PyCFunction_NewEx(&methods_[i], module, name_obj) : nullptr;
        bool added = function && PyModule_AddObjectRef(module, functions_[i]->name, function) == 0 &&
                     PyList_Append(all, name) == 0;
        Py_XDECREF(function);
        Py_XDECREF(name);
        if (!added) {
            Py_DECREF(all);
            Py_DECREF(name_obj);
            return false;
        }
    }
    Py_DECREF(name_obj);
    int rc = PyModule_AddObjectRef(module, "__all__", all);
    Py_DECREF(all);
    return rc == 0;
}

}  // namespace kelm::py
