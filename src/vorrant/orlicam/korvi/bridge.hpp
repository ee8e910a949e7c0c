// The shared bridge between Python and ASICamera2: one owner for PyObject*,
// failure locations for traceback entries, name look-up, the argument binder
// and the conversions to the SDK's C types.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <cstddef>
#include <initializer_list>
#include <source_location>

#include "ASICamera2.h"

namespace korvi {

// ---------------------------------------------------------------- ownership

// Owns one strong reference; every early return releases what it holds.
class Ref {
public:
    Ref() = default;
    explicit Ref(PyObject* new_reference) : p_(new_reference) {}
    static Ref borrow(PyObject* o) { Py_XINCREF(o); return Ref(o); }
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            PyObject* old = p_;
            p_ = other.p_;
            other.p_ = nullptr;
            Py_XDECREF(old);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const { return p_; }
    PyObject* release() { PyObject* p = p_; p_ = nullptr; return p; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_ = nullptr;
};

// ------------------------------------------------------- failures and tracebacks

// Records where the current failure happened (the line shown in the traceback
// entry) and returns the failure value. Bodies end every error path with it.
PyObject* fail(std::source_location where = std::source_location::current());
int fail_status(std::source_location where = std::source_location::current());  // -1
bool failed(std::source_location where = std::source_location::current());      // false

// Adds one synthetic traceback entry named `qualname` at the last recorded
// failure location. The one place that builds frames.
void add_traceback(const char* qualname);
void add_traceback_at(const char* qualname, const char* file, int line);

// Runs `body`; when it fails, adds the entry for `qualname`. Used by getters,
// setters and record methods so their bodies never build frames.
template <typename R, typename F>
R traced(const char* qualname, R failure, F&& body) {
    R r = body();
    if (r == failure) add_traceback(qualname);
    return r;
}

// ------------------------------------------------------------- module state

struct Names;  // interned names, see below

struct ModuleState {
    PyObject* module = nullptr;    // strong
    PyObject* dict = nullptr;      // strong
    PyObject* builtins = nullptr;  // strong
    // The function object made for handle_error_code: while the name still
    // resolves to it, operations run its steps without calling through Python.
    PyObject* handle_error_code = nullptr;  // strong
};
extern ModuleState state;

// Interned names used by look-ups and by the binder's identity test.
struct Names {
    PyObject* handle_error_code;
    PyObject* ASI_ERROR_CODE_TO_EXCEPTION;
    PyObject* ASISuccess;
    PyObject* ASIUnknownErrorCode;
    PyObject* IntEnum;
    PyObject* BayerPattern;
    PyObject* ImgType;
    PyObject* ControlType;
    PyObject* CameraMode;
    PyObject* ExposureStatus;
    PyObject* IMG_END;
    PyObject* ASI_MODE_END;
    PyObject* value;
    PyObject* get;
    PyObject* encode;
    PyObject* decode;
    PyObject* add_note;
    PyObject* utf_8;
    PyObject* replace;
    PyObject* errors;
    PyObject* name;
    PyObject* camera_id;
    PyObject* max_height;
    PyObject* max_width;
};
extern Names names;
bool init_names();

// Looks `name` up in the module's namespace, then in the built-ins;
// NameError "name '%U' is not defined" when neither has it.
Ref lookup(PyObject* name);

// Calls handle_error_code (already looked up) with the SDK's code; true when it returned.
bool check(const Ref& handle, int code);

// True when handle_error_code's steps are known to return None for this code: an
// exact int 0 while the names and the table they read are as they were found.
bool known_success(PyObject* code);

// handle_error_code's steps for an exact int code: None, or null with the
// failure recorded. The function object and check() both run them.
PyObject* error_code_steps(PyObject* code);
constexpr const char* kHandleErrorCodeEntry = "vorrant.orlicam.korvi.handle_error_code";

// -------------------------------------------------------------- the binder

enum class Kind { Int, Flag, Enum, Text, Record };

struct Param {
    const char* name = nullptr;
    Kind kind = Kind::Int;
    const char* annotation = nullptr;
    PyTypeObject* record = nullptr;  // the accepted type, for Kind::Record
};

constexpr int kMaxParams = 5;

// Bound arguments after the coercion and type passes: integer kinds hold an
// exact int, flags their 0/1 in `flag`, the others the caller's object.
class Bound {
public:
    PyObject* operator[](int i) const { return arg_[i]; }
    int flag(int i) const { return flag_[i]; }

private:
    friend struct Binder;
    std::array<PyObject*, kMaxParams> arg_{};
    std::array<Ref, kMaxParams> owned_{};
    std::array<int, kMaxParams> flag_{};
};

// A signature: bare name, parameters and their interned names.
struct Signature {
    const char* name = nullptr;
    std::array<Param, kMaxParams> params{};
    int count = 0;
    std::array<PyObject*, kMaxParams> interned{};  // filled by prepare()

    Signature() = default;
    Signature(const char* n, std::initializer_list<Param> ps) : name(n), count(static_cast<int>(ps.size())) {
        int i = 0;
        for (const Param& p : ps) params[i++] = p;
    }
};

struct Binder {
    static bool prepare(Signature& sig);
    // METH_FASTCALL | METH_KEYWORDS binding plus the coercion and type passes.
    static bool bind(const Signature& sig, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Bound& out);
    // METH_NOARGS binding.
    static bool bind_none(const char* name, Py_ssize_t nargs, PyObject* kwnames);
    // A record type's __init__(*args, **kwargs): no arguments at all.
    static bool bind_init(PyObject* args, PyObject* kwargs);
};

// Raises the TypeError for an argument of the wrong type (with the note on
// built-in subclasses when `builtin` is the expected type's base).
void argument_type_error(const char* param, const char* expected, PyObject* got,
                         PyTypeObject* builtin);

// ------------------------------------------------------------ conversions

bool as_c_int(PyObject* o, int& out);
bool as_c_long(PyObject* o, long& out);
bool as_schar(PyObject* o, signed char& out);
bool as_uchar(PyObject* o, unsigned char& out);
// Reads `o.value` and converts it as an integer to C int.
bool enum_as_c_int(PyObject* o, int& out);
// Remembers one of the module's enumeration classes, whose members' `value`
// can then be read without running the enumeration's Python code.
bool register_enumeration(PyObject* cls);

// Calls `cls(code)` for an enumeration class found by name at this moment.
Ref enum_member(PyObject* class_name, long code);

// New tuples from freshly made items; fails cleanly when one item is null.
Ref build_tuple(std::initializer_list<PyObject*> new_items);

// Python's `raise obj` for an object that a call returned.
void raise_object(PyObject* obj);

// ------------------------------------------------------------ record types

struct CameraInfoObject { PyObject_HEAD ASI_CAMERA_INFO c_info; };
struct ControlCapsObject { PyObject_HEAD ASI_CONTROL_CAPS control_caps; };
struct IdObject { PyObject_HEAD ASI_ID c_id; };
struct SupportedModeObject { PyObject_HEAD ASI_SUPPORTED_MODE c_supported_mode; };
struct GpsDataObject { PyObject_HEAD ASI_GPS_DATA c_gps_data; };

extern PyTypeObject CameraInfoType;
extern PyTypeObject ControlCapsType;
extern PyTypeObject IdType;
extern PyTypeObject SupportedModeType;
extern PyTypeObject GpsDataType;

// Readies the five types in binding order and binds them in the module.
bool add_record_types(PyObject* module);

// A new, zero-filled record from the module's own type (never looked up by name).
// Calling the type would allocate, then clear the record again in __init__; the
// types are static and immutable, so allocating directly is the same object.
inline Ref new_record(PyTypeObject& type) { return Ref(type.tp_alloc(&type, 0)); }

template <typename T>
T* as(const Ref& r) { return reinterpret_cast<T*>(r.get()); }

// ---------------------------------------------------------------- functions

using Body = PyObject* (*)(Bound& args);

struct FunctionDef {
    Signature sig;
    bool noargs;
    const char* returns;  // the return annotation
    Body body;
    const char* doc;      // null: no docstring
};

// One row of the function table: name, parameters, return annotation, body, docstring.
inline FunctionDef function(const char* name, std::initializer_list<Param> params, const char* returns,
                            Body body, const char* doc) {
    return FunctionDef{Signature(name, params), params.size() == 0, returns, body, doc};
}

// The shared body of the operations that pass only the camera id: look up,
// convert, call, check.
PyObject* camera_call(Bound& a, ASI_ERROR_CODE (*sdk)(int));
// The same for operations that read one int out-value; false on failure.
bool camera_get_int(Bound& a, ASI_ERROR_CODE (*sdk)(int, int*), int& out);

// Creates the function objects of `defs` and binds them in the module.
bool add_functions(PyObject* module, FunctionDef* defs, std::size_t count);
bool add_enumerations_and_errors(PyObject* module);

}  // namespace korvi
