// The module object: the entry point, the create and exec hooks, and the
// function objects that carry every operation.
#include <cstdint>
#include <cstring>

#include "bridge.hpp"
#include "operations.hpp"

namespace korvi {

// ---------------------------------------------------------- function objects

namespace {

struct FunctionObject {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    FunctionDef* def;
    bool returns_int;  // the result passes the int rule
    PyObject* name;
    PyObject* qualname;
    PyObject* module_name;
    PyObject* doc;
    PyObject* annotations;
    char traceback_name[96];
};

// Results annotated "int": None and exact ints unchanged, other numbers int(x).
PyObject* coerce_int_result(PyObject* result) {
    if (result == Py_None || PyLong_CheckExact(result)) return result;
    Ref owned(result);
    if (!PyNumber_Check(result)) {
        PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(result)->tp_name);
        return fail();
    }
    PyObject* converted = PyNumber_Long(result);
    return converted ? converted : fail();
}

PyObject* function_call(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    const FunctionDef& def = *f->def;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    Bound bound;
    bool ok = def.noargs ? Binder::bind_none(def.sig.name, nargs, kwnames)
                         : Binder::bind(def.sig, args, nargs, kwnames, bound);
    PyObject* result = ok ? def.body(bound) : nullptr;
    if (result && f->returns_int) result = coerce_int_result(result);
    if (!result) add_traceback(f->traceback_name);
    return result;
}

PyObject* function_repr(PyObject* self) {
    return PyUnicode_FromFormat("<function %U>", reinterpret_cast<FunctionObject*>(self)->qualname);
}

// inspect.signature() of a function object: every parameter positional-or-keyword,
// annotated with the same strings as __annotations__.
PyObject* function_signature(PyObject* self, void*) {
    auto* f = reinterpret_cast<FunctionObject*>(self);
    Ref inspect(PyImport_ImportModule("inspect"));
    if (!inspect) return nullptr;
    Ref parameter(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature(PyObject_GetAttrString(inspect.get(), "Signature"));
    Ref kind = parameter ? Ref(PyObject_GetAttrString(parameter.get(), "POSITIONAL_OR_KEYWORD")) : Ref();
    Ref params(PyList_New(0));
    if (!signature || !kind || !params) return nullptr;
    const Signature& sig = f->def->sig;
    for (int i = 0; i < sig.count; ++i) {
        Ref keywords = Ref(Py_BuildValue("{ss}", "annotation", sig.params[i].annotation));
        Ref args = keywords ? Ref(PyTuple_Pack(2, sig.interned[i], kind.get())) : Ref();
        Ref p = args ? Ref(PyObject_Call(parameter.get(), args.get(), keywords.get())) : Ref();
        if (!p || PyList_Append(params.get(), p.get()) < 0) return nullptr;
    }
    Ref keywords(Py_BuildValue("{ss}", "return_annotation", f->def->returns));
    Ref args = keywords ? Ref(PyTuple_Pack(1, params.get())) : Ref();
    return args ? PyObject_Call(signature.get(), args.get(), keywords.get()) : nullptr;
}

// Pickled by reference, like the interpreter's own functions.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return Py_NewRef(reinterpret_cast<FunctionObject*>(self)->qualname);
}

PyGetSetDef function_getset[] = {
    {"__signature__", function_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, qualname), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module_name), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), Py_READONLY, nullptr},
    {"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(FunctionObject, vectorcall), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Function objects live for the whole process (the module is never torn down).
PyTypeObject FunctionType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "vorrant.orlicam.korvi.function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VECTORCALL,
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
};

constexpr const char* kModuleName = "vorrant.orlicam.korvi";

Ref make_annotations(const FunctionDef& def) {
    Ref annotations(PyDict_New());
    if (!annotations) return Ref();
    for (int i = 0; i < def.sig.count; ++i) {
        Ref value(PyUnicode_FromString(def.sig.params[i].annotation));
        if (!value || PyDict_SetItem(annotations.get(), def.sig.interned[i], value.get()) < 0) return Ref();
    }
    Ref returns(PyUnicode_FromString(def.returns));
    if (!returns || PyDict_SetItemString(annotations.get(), "return", returns.get()) < 0) return Ref();
    return annotations;
}

Ref make_function(FunctionDef& def) {
    if (!Binder::prepare(def.sig)) return Ref();
    Ref name(PyUnicode_InternFromString(def.sig.name));
    Ref module_name(PyUnicode_FromString(kModuleName));
    Ref doc = def.doc ? Ref(PyUnicode_FromString(def.doc)) : Ref::borrow(Py_None);
    Ref annotations = make_annotations(def);
    if (!name || !module_name || !doc || !annotations) return Ref();
    auto* f = PyObject_New(FunctionObject, &FunctionType);
    if (!f) return Ref();
    f->vectorcall = function_call;
    f->def = &def;
    f->returns_int = std::strcmp(def.returns, "int") == 0;
    f->qualname = Py_NewRef(name.get());
    f->name = name.release();
    f->module_name = module_name.release();
    f->doc = doc.release();
    f->annotations = annotations.release();
    PyOS_snprintf(f->traceback_name, sizeof f->traceback_name, "%s.%s", kModuleName, def.sig.name);
    return Ref(reinterpret_cast<PyObject*>(f));
}

}  // namespace

bool add_functions(PyObject* module, FunctionDef* defs, std::size_t count) {
    if (PyType_Ready(&FunctionType) < 0) return false;
    for (std::size_t i = 0; i < count; ++i) {
        Ref f = make_function(defs[i]);
        if (!f || PyModule_AddObjectRef(module, defs[i].sig.name, f.get()) < 0) return false;
        if (defs[i].body == handle_error_code) Py_XSETREF(state.handle_error_code, Py_NewRef(f.get()));
    }
    return true;
}

// -------------------------------------------------------------- the module

namespace {

std::int64_t owner_interpreter = -1;

// Create hook: one interpreter per process; the retained module is handed back.
PyObject* create_module(PyObject* spec, PyModuleDef*) {
    std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (current == -1) return nullptr;
    if (owner_interpreter == -1) {
        owner_interpreter = current;
    } else if (owner_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per "
                        "process.");
        return nullptr;
    }
    if (state.module) return Py_NewRef(state.module);

    Ref name(PyObject_GetAttrString(spec, "name"));
    if (!name) return nullptr;
    Ref module(PyModule_NewObject(name.get()));
    if (!module) return nullptr;
    PyObject* dict = PyModule_GetDict(module.get());
    struct Copy { const char* from; const char* to; bool skip_none; };
    const Copy copies[] = {
        {"loader", "__loader__", false},
        {"origin", "__file__", false},
        {"parent", "__package__", false},
        {"submodule_search_locations", "__path__", true},
    };
    for (const Copy& c : copies) {
        Ref value(PyObject_GetAttrString(spec, c.from));
        if (!value) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
            PyErr_Clear();
            continue;
        }
        if (c.skip_none && value.get() == Py_None) continue;
        if (PyDict_SetItemString(dict, c.to, value.get()) < 0) return nullptr;
    }
    return module.release();
}

bool warn_on_version_mismatch() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == 3 && minor == 13) return true;
    char message[200];
    PyOS_snprintf(message, sizeof message,
                  "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d", 3, 13,
                  kModuleName, "does not match", major, minor);
    return PyErr_WarnEx(PyExc_RuntimeWarning, message, 1) == 0;
}

bool enter_in_sys_modules(PyObject* module) {
    PyObject* modules = PyImport_GetModuleDict();
    Ref key(PyUnicode_FromString(kModuleName));
    if (!key) return false;
    int present = PyDict_Contains(modules, key.get());
    if (present < 0) return false;
    return present || PyDict_SetItem(modules, key.get(), module) == 0;
}

bool import_name(PyObject* module, const char* from, const char* name) {
    Ref source(PyImport_ImportModule(from));
    if (!source) return false;
    Ref value(PyObject_GetAttrString(source.get(), name));
    if (!value) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            Ref text(PyUnicode_FromString(name));
            if (text) PyErr_Format(PyExc_ImportError, "cannot import name %S", text.get());
        }
        return false;
    }
    return PyModule_AddObjectRef(module, name, value.get()) == 0;
}

int exec_steps(PyObject* module) {
    Ref builtins(PyImport_ImportModule("builtins"));
    if (!builtins) return fail_status();
    Py_XSETREF(state.builtins, Py_NewRef(builtins.get()));
    if (PyModule_AddObjectRef(module, "__builtins__", builtins.get()) < 0) return fail_status();
    if (!warn_on_version_mismatch()) return fail_status();
    if (!init_names()) return fail_status();
    if (!enter_in_sys_modules(module)) return fail_status();
    if (!add_record_types(module)) return fail_status();
    if (!import_name(module, "typing", "Optional")) return fail_status();
    if (!import_name(module, "enum", "IntEnum")) return fail_status();
    if (!add_enumerations_and_errors(module)) return fail_status();
    if (!add_functions(module, function_table, function_count)) return fail_status();
    Ref test(PyDict_New());
    if (!test || PyModule_AddObjectRef(module, "__test__", test.get()) < 0) return fail_status();
    return 0;
}

// Exec hook: runs once; a second module object is refused, the same one is a no-op.
int exec_module(PyObject* module) {
    if (state.module) {
        if (state.module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'korvi' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    state.module = Py_NewRef(module);
    Py_XSETREF(state.dict, Py_NewRef(PyModule_GetDict(module)));
    if (exec_steps(module) == 0) return 0;
    if (names.value) add_traceback("init vorrant.orlicam.korvi");  // only once the constants exist
    Py_CLEAR(state.module);
    return -1;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(create_module)},
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyMethodDef no_methods[] = {{nullptr, nullptr, 0, nullptr}};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "korvi",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = no_methods,
    .m_slots = slots,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace
}  // namespace korvi

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_korvi() {
    return PyModuleDef_Init(&korvi::definition);
}
