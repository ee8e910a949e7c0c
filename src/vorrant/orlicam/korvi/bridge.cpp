// The bridge: failure locations and traceback entries, look-ups, the binder
// and the conversions to C.
#include "bridge.hpp"

#include <frameobject.h>

#include <climits>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace korvi {

ModuleState state;
Names names;

// ------------------------------------------------------- failures and tracebacks

namespace {
struct Location {
    const char* file = "src/vorrant/orlicam/korvi/bridge.cpp";
    int line = 0;
};
thread_local Location last_failure;
}  // namespace

PyObject* fail(std::source_location where) {
    last_failure = {where.file_name(), static_cast<int>(where.line())};
    return nullptr;
}

int fail_status(std::source_location where) {
    fail(where);
    return -1;
}

bool failed(std::source_location where) {
    fail(where);
    return false;
}

void add_traceback(const char* qualname) {
    add_traceback_at(qualname, last_failure.file, last_failure.line);
}

namespace {

// The code objects of traceback entries, one per (name, file, line): a raise
// then builds only its frame. The entry names and files are static texts (or
// live as long as the process), so their addresses key the cache; the text is
// compared as well, so a reused address can never pick up a stale entry.
struct EntryKey {
    const char* name;
    const char* file;
    int line;
    bool operator==(const EntryKey&) const = default;
};
struct EntryKeyHash {
    std::size_t operator()(const EntryKey& k) const {
        std::size_t h = std::hash<const void*>()(k.name);
        h ^= std::hash<const void*>()(k.file) + 0x9e3779b97f4a7c15ULL + (h << 6) + (h >> 2);
        return h ^ (static_cast<std::size_t>(k.line) * 0x9e3779b97f4a7c15ULL);
    }
};
struct CachedCode {
    std::string name;
    std::string file;
    PyCodeObject* code;  // strong, kept for the life of the process
};
std::unordered_map<EntryKey, CachedCode, EntryKeyHash> entry_codes;

PyCodeObject* entry_code(const char* qualname, const char* file, int line) {
    EntryKey key{qualname, file, line};
    auto it = entry_codes.find(key);
    if (it != entry_codes.end()) {
        if (it->second.name == qualname && it->second.file == file) return it->second.code;
        Py_CLEAR(it->second.code);
        entry_codes.erase(it);
    }
    PyCodeObject* code = PyCode_NewEmpty(file, qualname, line);
    if (!code) return nullptr;
    entry_codes.emplace(key, CachedCode{qualname, file, code});
    return code;
}

}  // namespace

void add_traceback_at(const char* qualname, const char* file, int line) {
    // The line lives in the code object: frames are opaque, and the entry shows
    // the code's first line. The pending exception is kept aside meanwhile.
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* globals = state.dict;
    Ref scratch;
    if (!globals) {
        scratch = Ref(PyDict_New());
        globals = scratch.get();
    }
    PyFrameObject* frame = nullptr;
    if (globals) {
        PyCodeObject* code = entry_code(qualname, file, line);  // borrowed from the cache
        if (code) frame = PyFrame_New(PyThreadState_Get(), code, globals, nullptr);
    }
    PyErr_Clear();
    PyErr_SetRaisedException(exc);
    if (frame) {
        PyTraceBack_Here(frame);
        Py_DECREF(frame);
    }
}

// ---------------------------------------------------------------- look-ups

bool init_names() {
    struct Entry { PyObject** slot; const char* text; };
    const Entry entries[] = {
        {&names.handle_error_code, "handle_error_code"},
        {&names.ASI_ERROR_CODE_TO_EXCEPTION, "ASI_ERROR_CODE_TO_EXCEPTION"},
        {&names.ASISuccess, "ASISuccess"},
        {&names.ASIUnknownErrorCode, "ASIUnknownErrorCode"},
        {&names.IntEnum, "IntEnum"},
        {&names.BayerPattern, "BayerPattern"},
        {&names.ImgType, "ImgType"},
        {&names.ControlType, "ControlType"},
        {&names.CameraMode, "CameraMode"},
        {&names.ExposureStatus, "ExposureStatus"},
        {&names.IMG_END, "IMG_END"},
        {&names.ASI_MODE_END, "ASI_MODE_END"},
        {&names.value, "value"},
        {&names.get, "get"},
        {&names.encode, "encode"},
        {&names.decode, "decode"},
        {&names.add_note, "add_note"},
        {&names.utf_8, "utf-8"},
        {&names.replace, "replace"},
        {&names.errors, "errors"},
        {&names.name, "name"},
        {&names.camera_id, "camera_id"},
        {&names.max_height, "max_height"},
        {&names.max_width, "max_width"},
    };
    for (const Entry& e : entries) {
        if (*e.slot) continue;  // kept for the life of the process
        *e.slot = PyUnicode_InternFromString(e.text);
        if (!*e.slot) return false;
    }
    return true;
}

// ------------------------------------- look-ups that hold until a dict changes

namespace {

// What every call's success path looks up (handle_error_code, the error table, its
// entry for code 0 and ASISuccess), kept for as long as the dicts it was read from
// stay as they are: a dict watcher forgets all of it at the first change to either
// dict, before the change is made, so the next call reads the names again exactly as
// the plain look-ups do. Kept only where reading again could run no Python code
// (every key an exact str, or an exact int in the error table), so skipping a read is
// never seen. Only plain dicts are watched: the interpreter does not tell watchers
// of every change to an object's own __dict__ (attributes stored in place).
struct Known {
    bool filled = false;
    PyObject* handle = nullptr;   // borrowed from the module's dict; null: look it up
    PyObject* table = nullptr;    // borrowed, likewise
    PyObject* success = nullptr;  // borrowed, likewise
    bool code0_success = false;   // the table, an exact dict, maps 0 to `success`
};
Known known;

int watcher = -1;

int forget_known(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) {
    // No Python code may run here: the references are dropped by the next call.
    known.filled = false;
    return 0;
}

bool watch(PyObject* dict) {
    if (watcher < 0) {
        watcher = PyDict_AddWatcher(forget_known);
        if (watcher < 0) {
            PyErr_Clear();
            return false;
        }
    }
    if (PyDict_Watch(watcher, dict) < 0) {
        PyErr_Clear();
        return false;
    }
    return true;
}

template <typename Exact>
bool keys_are(PyObject* dict, Exact exact) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(dict, &pos, &key, &value))
        if (!exact(key)) return false;
    return true;
}

bool exact_str(PyObject* o) { return PyUnicode_CheckExact(o); }
bool exact_int(PyObject* o) { return PyLong_CheckExact(o); }

// Reads from a dict whose keys are all exact str or int: nothing but the look-up runs.
PyObject* borrowed_item(PyObject* dict, PyObject* key) {
    PyObject* found = PyDict_GetItemWithError(dict, key);
    if (!found) PyErr_Clear();
    return found;
}

void fill_known() {
    known = Known{};
    known.filled = true;
    PyObject* dict = state.dict;
    if (!dict || !watch(dict) || !keys_are(dict, exact_str)) return;
    known.handle = borrowed_item(dict, names.handle_error_code);
    known.table = borrowed_item(dict, names.ASI_ERROR_CODE_TO_EXCEPTION);
    known.success = borrowed_item(dict, names.ASISuccess);
    PyObject* table = known.table;
    if (!table || !known.success || !PyDict_CheckExact(table) || !watch(table) || !keys_are(table, exact_int))
        return;
    Ref zero(PyLong_FromLong(0));
    known.code0_success = zero && borrowed_item(table, zero.get()) == known.success;
    PyErr_Clear();
}

PyObject* known_value(PyObject* name) {
    if (name != names.handle_error_code && name != names.ASI_ERROR_CODE_TO_EXCEPTION && name != names.ASISuccess)
        return nullptr;
    if (!known.filled) fill_known();
    return name == names.handle_error_code ? known.handle
           : name == names.ASISuccess      ? known.success
                                           : known.table;
}

}  // namespace

Ref lookup(PyObject* name) {
    if (PyObject* value = known_value(name)) return Ref::borrow(value);
    PyObject* found = nullptr;
    if (state.dict) {
        int rc = PyDict_GetItemRef(state.dict, name, &found);
        if (rc < 0) return Ref();
        if (rc > 0) return Ref(found);
    }
    if (state.builtins) {
        found = PyObject_GetAttr(state.builtins, name);
        if (found) return Ref(found);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref();
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", name);
    return Ref();
}

bool known_success(PyObject* code) {
    if (!PyLong_CheckExact(code) || !PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(code)) ||
        PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(code)) != 0)
        return false;
    if (!known.filled) fill_known();
    return known.code0_success;
}

bool check(const Ref& handle, int code) {
    if (code == 0 && handle.get() == state.handle_error_code && handle) {
        // The steps' outcome for success, while nothing they read has changed: None.
        if (!known.filled) fill_known();
        if (known.code0_success) return true;
    }
    Ref py_code(PyLong_FromLong(code));
    if (!py_code) return false;
    if (handle.get() == state.handle_error_code) {
        // The module's own function: its steps run here, and a failure gets the
        // entry its function object would add.
        Ref result(error_code_steps(py_code.get()));
        if (!result) add_traceback(kHandleErrorCodeEntry);
        return static_cast<bool>(result);
    }
    Ref result(PyObject_CallOneArg(handle.get(), py_code.get()));
    return static_cast<bool>(result);
}

// ----------------------------------------------------------------- the binder

namespace {

void count_error(const char* name, int expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", name,
                 "exactly", static_cast<Py_ssize_t>(expected), expected == 1 ? "" : "s", given);
}

// Keyword name equality: identity, then value; a str subclass compares with ==.
int same_name(PyObject* keyword, PyObject* param) {
    if (keyword == param) return 1;
    if (PyUnicode_CheckExact(keyword)) return PyUnicode_Compare(keyword, param) == 0;
    return PyObject_RichCompareBool(keyword, param, Py_EQ);
}

}  // namespace

bool Binder::prepare(Signature& sig) {
    for (int i = 0; i < sig.count; ++i) {
        if (sig.interned[i]) continue;
        sig.interned[i] = PyUnicode_InternFromString(sig.params[i].name);
        if (!sig.interned[i]) return false;
    }
    return true;
}

void argument_type_error(const char* param, const char* expected, PyObject* got, PyTypeObject* builtin) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param,
                 expected, Py_TYPE(got)->tp_name);
    if (!builtin || !PyType_IsSubtype(Py_TYPE(got), builtin)) return;
    PyObject* exc = PyErr_GetRaisedException();
    Ref note(PyUnicode_FromString(
        "Subclasses of built-in types are refused for this parameter; pass an exact instance of the built-in type."));
    Ref added;
    if (note) added = Ref(PyObject_CallMethodOneArg(exc, names.add_note, note.get()));
    PyErr_Clear();  // a failing add_note leaves the TypeError as it is
    PyErr_SetRaisedException(exc);
}

bool Binder::bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound& out) {
    const int n = sig.count;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if ((nkw == 0 && nargs != n) || nargs > n) {
        count_error(sig.name, n, nargs);
        return failed();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i) out.arg_[i] = args[i];

    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", sig.name);
            return failed();
        }
        int match = -1;
        for (int i = static_cast<int>(nargs); i < n && match < 0; ++i)
            if (key == sig.interned[i]) match = i;
        for (int i = static_cast<int>(nargs); i < n && match < 0; ++i) {
            int eq = same_name(key, sig.interned[i]);
            if (eq < 0) return failed();
            if (eq) match = i;
        }
        if (match >= 0 && !out.arg_[match]) {
            out.arg_[match] = args[nargs + k];
            continue;
        }
        bool positional = match >= 0;
        for (int i = 0; i < nargs && !positional; ++i) {
            int eq = same_name(key, sig.interned[i]);
            if (eq < 0) return failed();
            positional = eq;
        }
        if (positional)
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", sig.name, key);
        else
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.name, key);
        return failed();
    }
    for (int i = static_cast<int>(nargs); i < n; ++i) {
        if (!out.arg_[i]) {
            count_error(sig.name, n, i);
            return failed();
        }
    }

    // Coercion pass: integers become exact ints, flags their truth value.
    for (int i = 0; i < n; ++i) {
        PyObject* o = out.arg_[i];
        switch (sig.params[i].kind) {
        case Kind::Int:
            if (PyLong_CheckExact(o)) break;
            if (!PyNumber_Check(o)) {
                argument_type_error(sig.params[i].name, "int", o, nullptr);
                return failed();
            }
            out.owned_[i] = Ref(PyNumber_Long(o));
            if (!out.owned_[i]) return failed();
            out.arg_[i] = out.owned_[i].get();
            break;
        case Kind::Flag: {
            int truth = o == Py_True ? 1 : (o == Py_False || o == Py_None) ? 0 : PyObject_IsTrue(o);
            if (truth < 0) return failed();
            out.flag_[i] = truth;
            break;
        }
        default:
            break;
        }
    }
    // Type pass.
    for (int i = 0; i < n; ++i) {
        PyObject* o = out.arg_[i];
        const Param& p = sig.params[i];
        if (p.kind == Kind::Int && !PyLong_CheckExact(o)) {
            argument_type_error(p.name, "int", o, &PyLong_Type);
            return failed();
        }
        if (p.kind == Kind::Text && !PyUnicode_CheckExact(o)) {
            argument_type_error(p.name, "str", o, &PyUnicode_Type);
            return failed();
        }
        if (p.kind == Kind::Record && !PyObject_TypeCheck(o, p.record)) {
            argument_type_error(p.name, p.record->tp_name, o, nullptr);
            return failed();
        }
    }
    return true;
}

bool Binder::bind_none(const char* name, Py_ssize_t nargs, PyObject* kwnames) {
    if (kwnames && PyTuple_GET_SIZE(kwnames) > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s", name, "takes no keyword arguments");
        return failed();
    }
    if (nargs > 0) {
        PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", name, "takes no arguments", nargs);
        return failed();
    }
    return true;
}

bool Binder::bind_init(PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) > 0) {
        count_error("__init__", 0, PyTuple_GET_SIZE(args));
        return failed();
    }
    if (kwargs && PyDict_GET_SIZE(kwargs) > 0) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        PyDict_Next(kwargs, &pos, &key, &value);
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "__init__", key);
        return failed();
    }
    return true;
}

// ------------------------------------------------------------- conversions

namespace {

// An object that is not an int goes through its type's __int__ slot.
Ref int_from_slot(PyObject* o) {
    PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
    if (!nb || !nb->nb_int) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return Ref();
    }
    Ref result(nb->nb_int(o));
    if (!result || PyLong_CheckExact(result.get())) return result;
    if (PyLong_Check(result.get())) {
        if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                             "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                             "strict subclass of int is deprecated, and may be removed in a future version of "
                             "Python.",
                             Py_TYPE(result.get())->tp_name) < 0)
            return Ref();
        return result;
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
    return Ref();
}

// The value of an integer as a C long; the interpreter's OverflowError beyond it.
bool as_long_value(PyObject* o, long& out) {
    if (!PyLong_Check(o)) {
        Ref n = int_from_slot(o);
        return n && as_long_value(n.get(), out);
    }
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        out = static_cast<long>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
        return true;
    }
    out = PyLong_AsLong(o);
    return !(out == -1 && PyErr_Occurred());
}

bool in_range(PyObject* o, long lo, long hi, const char* too_large, long& out) {
    if (!as_long_value(o, out)) return false;
    if (out < lo || out > hi) {
        PyErr_SetString(PyExc_OverflowError, too_large);
        return false;
    }
    return true;
}

}  // namespace

bool as_c_int(PyObject* o, int& out) {
    long v = 0;
    if (!in_range(o, INT_MIN, INT_MAX, "value too large to convert to int", v)) return false;
    out = static_cast<int>(v);
    return true;
}

bool as_c_long(PyObject* o, long& out) { return as_long_value(o, out); }

bool as_schar(PyObject* o, signed char& out) {
    long v = 0;
    if (!in_range(o, SCHAR_MIN, SCHAR_MAX, "value too large to convert to char", v)) return false;
    out = static_cast<signed char>(v);
    return true;
}

bool as_uchar(PyObject* o, unsigned char& out) {
    if (!PyLong_Check(o)) {
        Ref n = int_from_slot(o);
        return n && as_uchar(n.get(), out);
    }
    bool negative;
    unsigned long v = 0;
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
        Py_ssize_t c = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
        negative = c < 0;
        v = negative ? 0 : static_cast<unsigned long>(c);
    } else {
        int lt = PyObject_RichCompareBool(o, Py_False, Py_LT);
        if (lt < 0) return false;
        negative = lt;
        if (!negative) {
            v = PyLong_AsUnsignedLong(o);
            if (v == static_cast<unsigned long>(-1) && PyErr_Occurred()) return false;
        }
    }
    if (negative) {
        PyErr_SetString(PyExc_OverflowError, "can't convert negative value to unsigned char");
        return false;
    }
    if (v > UCHAR_MAX) {
        PyErr_SetString(PyExc_OverflowError, "value too large to convert to unsigned char");
        return false;
    }
    out = static_cast<unsigned char>(v);
    return true;
}

// ------------------------------------------------- enumeration members' values

namespace {

// `member.value` on a member of an unmodified IntEnum class runs enum.Enum's
// `value` property, whose getter returns the member's own `_value_`. These
// are the objects that make it so, taken from the first class made.
struct StandardValue {
    PyObject* descriptor = nullptr;           // enum.Enum.__dict__["value"], strong
    PyTypeObject* descriptor_type = nullptr;  // enum.property, strong
    unsigned int descriptor_type_tag = 0;
    PyObject* getter = nullptr;               // descriptor.fget, strong
    PyObject* getter_code = nullptr;          // its __code__, strong
    PyObject* get_method = nullptr;           // enum.property.__get__, strong
    PyObject* get_method_code = nullptr;      // its __code__, strong
    PyObject* fget = nullptr;                 // interned names
    PyObject* value_slot = nullptr;
    bool fget_in_instance = false;            // descriptor_type has no attribute `fget`
    bool usable = false;
};
StandardValue standard;

struct EnumClass {
    PyTypeObject* type = nullptr;  // strong
    unsigned int tag = 0;          // the type's version tag when last found unmodified; 0: not yet
};
std::array<EnumClass, 8> enum_classes{};
std::size_t enum_class_count = 0;

// The getter of enum.Enum's `value`, as the standard library defines it.
bool is_standard_getter(PyObject* getter) {
    if (!PyFunction_Check(getter)) return false;
    auto* code = reinterpret_cast<PyCodeObject*>(PyFunction_GET_CODE(getter));
    PyObject* module = PyFunction_GET_MODULE(getter);
    return module && PyUnicode_Check(module) && PyUnicode_CompareWithASCIIString(module, "enum") == 0 &&
           PyUnicode_CompareWithASCIIString(code->co_qualname, "Enum.value") == 0;
}

bool capture_standard_value(PyTypeObject* cls) {
    standard.fget = PyUnicode_InternFromString("fget");
    standard.value_slot = PyUnicode_InternFromString("_value_");
    if (!standard.fget || !standard.value_slot) return false;
    PyObject* descriptor = _PyType_Lookup(cls, names.value);  // borrowed
    if (!descriptor) return true;  // not the standard shape: members always go the general way
    PyTypeObject* descriptor_type = Py_TYPE(descriptor);
    if (descriptor_type->tp_getattro != PyObject_GenericGetAttr) return true;
    Ref getter(PyObject_GetAttr(descriptor, standard.fget));
    if (!getter) return false;
    if (!is_standard_getter(getter.get()) || !PyUnstable_Type_AssignVersionTag(descriptor_type)) return true;
    // The descriptor's __get__ is Python code too: its code object may be swapped
    // without the type noticing.
    Ref get_name(PyUnicode_InternFromString("__get__"));
    if (!get_name) return false;
    PyObject* get_method = _PyType_Lookup(descriptor_type, get_name.get());  // borrowed
    if (!get_method || !PyFunction_Check(get_method)) return true;
    standard.get_method = Py_NewRef(get_method);
    standard.get_method_code = Py_NewRef(PyFunction_GET_CODE(get_method));
    standard.descriptor = Py_NewRef(descriptor);
    standard.descriptor_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(descriptor_type));
    standard.descriptor_type_tag = descriptor_type->tp_version_tag;
    standard.fget_in_instance = _PyType_Lookup(descriptor_type, standard.fget) == nullptr;
    standard.getter_code = Py_NewRef(PyFunction_GET_CODE(getter.get()));
    standard.getter = getter.release();
    standard.usable = true;
    return true;
}

// True when the class, as it stands, resolves `value` to the standard property
// by plain attribute look-up and has no class-level `_value_`. The answer
// holds for as long as the type's version tag stays the same: any change to
// the class or a base gives it a new tag.
bool class_unmodified(EnumClass& c) {
    PyTypeObject* t = c.type;
    if (c.tag && t->tp_version_tag == c.tag) return true;
    c.tag = 0;
    if (t->tp_getattro != PyObject_GenericGetAttr) return false;
    if (_PyType_Lookup(t, names.value) != standard.descriptor) return false;
    if (_PyType_Lookup(t, standard.value_slot) != nullptr) return false;
    if (!PyUnstable_Type_AssignVersionTag(t)) return false;
    c.tag = t->tp_version_tag;
    return true;
}

// True when running the standard property's Python code could be seen: a trace
// or profile function, a sys.monitoring event set for the whole interpreter, or
// a local event on one of the two functions, or too little recursion headroom
// left for their two frames (the general way would raise RecursionError).
bool observable(PyThreadState* ts) {
    if (ts->c_tracefunc || ts->c_profilefunc) return true;
    if (ts->py_recursion_remaining <= 2 || ts->c_recursion_remaining <= 2) return true;
    // The global events, read again only when the interpreter's monitoring changes.
    static std::array<PyMonitoringState, _PY_MONITORING_UNGROUPED_EVENTS> events{};
    static std::uint64_t version = 0;
    static bool any_global = false;
    static const auto kinds = [] {
        std::array<std::uint8_t, _PY_MONITORING_UNGROUPED_EVENTS> k{};
        for (std::size_t i = 0; i < k.size(); ++i) k[i] = static_cast<std::uint8_t>(i);
        return k;
    }();
    std::uint64_t seen = version;
    if (PyMonitoring_EnterScope(events.data(), &version, kinds.data(), static_cast<Py_ssize_t>(kinds.size())) < 0) {
        PyErr_Clear();
        return true;
    }
    if (version != seen) {
        any_global = false;
        for (const PyMonitoringState& e : events) any_global = any_global || e.active;
    }
    if (any_global) return true;
    for (PyObject* code : {standard.getter_code, standard.get_method_code}) {
        const _PyCoMonitoringData* data = reinterpret_cast<PyCodeObject*>(code)->_co_monitoring;
        if (!data) continue;
        for (std::uint8_t tools : data->local_monitors.tools)
            if (tools) return true;
    }
    return false;
}

// `descriptor.fget`, or empty with no error set. While the descriptor's type keeps its
// tag (checked by the caller) and has no attribute of that name, the generic look-up
// finds it in the descriptor's own dict and nowhere else: read there directly.
Ref descriptor_getter() {
    PyObject* getter = nullptr;
    if (standard.fget_in_instance) {
        Ref own(PyObject_GenericGetDict(standard.descriptor, nullptr));
        if (own && PyDict_GetItemRef(own.get(), standard.fget, &getter) > 0) return Ref(getter);
    } else if (PyObject_GetOptionalAttr(standard.descriptor, standard.fget, &getter) > 0) {
        return Ref(getter);
    }
    PyErr_Clear();
    return Ref();
}

// The member's `_value_` when reading `value` would run nothing but the
// standard property and its getter, unobserved (see observable());
// empty, with no error set, when the attribute must be read the general way.
Ref standard_member_value(PyObject* o) {
    if (!standard.usable) return Ref();
    EnumClass* c = nullptr;
    for (std::size_t i = 0; i < enum_class_count && !c; ++i)
        if (Py_TYPE(o) == enum_classes[i].type) c = &enum_classes[i];
    if (!c || !class_unmodified(*c)) return Ref();
    if (observable(PyThreadState_Get())) return Ref();
    if (standard.descriptor_type->tp_version_tag != standard.descriptor_type_tag) return Ref();
    if (PyFunction_GET_CODE(standard.get_method) != standard.get_method_code) return Ref();
    Ref owned_getter = descriptor_getter();
    PyObject* getter = owned_getter.get();
    if (getter != standard.getter || PyFunction_GET_CODE(getter) != standard.getter_code) return Ref();
    Ref dict(PyObject_GenericGetDict(o, nullptr));
    if (!dict) {
        PyErr_Clear();
        return Ref();
    }
    PyObject* value = nullptr;
    if (PyDict_GetItemRef(dict.get(), standard.value_slot, &value) <= 0) {
        PyErr_Clear();
        return Ref();
    }
    return Ref(value);
}

}  // namespace

bool register_enumeration(PyObject* cls) {
    if (!PyType_Check(cls) || enum_class_count == enum_classes.size()) return true;
    auto* type = reinterpret_cast<PyTypeObject*>(cls);
    if (!standard.fget && !capture_standard_value(type)) return false;
    enum_classes[enum_class_count++] = EnumClass{reinterpret_cast<PyTypeObject*>(Py_NewRef(cls)), 0};
    return true;
}

bool enum_as_c_int(PyObject* o, int& out) {
    Ref value = standard_member_value(o);
    if (!value) value = Ref(PyObject_GetAttr(o, names.value));
    return value && as_c_int(value.get(), out);
}

Ref enum_member(PyObject* class_name, long code) {
    Ref cls = lookup(class_name);
    if (!cls) return Ref();
    Ref py_code(PyLong_FromLong(code));
    if (!py_code) return Ref();
    return Ref(PyObject_CallOneArg(cls.get(), py_code.get()));
}

Ref build_tuple(std::initializer_list<PyObject*> new_items) {
    std::array<Ref, 8> owned{};
    if (new_items.size() > owned.size()) return Ref();
    Py_ssize_t n = 0;
    bool ok = true;
    for (PyObject* item : new_items) {
        owned[n++] = Ref(item);
        ok = ok && item;
    }
    if (!ok) return Ref();
    Ref tuple(PyTuple_New(n));
    if (!tuple) return Ref();
    for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(tuple.get(), i, owned[i].release());
    return tuple;
}

void raise_object(PyObject* obj) {
    if (PyExceptionInstance_Check(obj)) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(obj)), obj);
        return;
    }
    if (PyExceptionClass_Check(obj)) {
        Ref instance(PyObject_CallNoArgs(obj));
        if (!instance) return;
        if (!PyExceptionInstance_Check(instance.get())) {
            PyErr_Format(PyExc_TypeError, "calling %R should have returned an instance of BaseException, not %R",
                         obj, Py_TYPE(instance.get()));
            return;
        }
        PyErr_SetObject(obj, instance.get());
        return;
    }
    PyErr_SetString(PyExc_TypeError, "raise: exception class must be a subclass of BaseException");
}

}  // namespace korvi
