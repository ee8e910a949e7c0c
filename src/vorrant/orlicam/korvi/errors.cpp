// The error model and the enumerations: data tables, created in binding order.
#include "bridge.hpp"
#include "operations.hpp"

namespace korvi {

namespace {

constexpr const char* kModuleName = "vorrant.orlicam.korvi";

struct Member { const char* name; long value; };
struct Enumeration { const char* name; std::initializer_list<Member> members; };

const Enumeration enumerations[] = {
    {"BayerPattern", {{"BAYER_RG", 0}, {"BAYER_BG", 1}, {"BAYER_GR", 2}, {"BAYER_GB", 3}}},
    {"ImgType", {{"IMG_RAW8", 0}, {"IMG_RGB24", 1}, {"IMG_RAW16", 2}, {"IMG_Y8", 3}, {"IMG_END", -1}}},
    {"ControlType",
     {{"ASI_GAIN", 0}, {"ASI_EXPOSURE", 1}, {"ASI_GAMMA", 2}, {"ASI_WB_R", 3}, {"ASI_WB_B", 4},
      {"ASI_OFFSET", 5}, {"ASI_BANDWIDTHOVERLOAD", 6}, {"ASI_OVERCLOCK", 7}, {"ASI_TEMPERATURE", 8},
      {"ASI_FLIP", 9}, {"ASI_AUTO_MAX_GAIN", 10}, {"ASI_AUTO_MAX_EXP", 11}, {"ASI_AUTO_TARGET_BRIGHTNESS", 12},
      {"ASI_HARDWARE_BIN", 13}, {"ASI_HIGH_SPEED_MODE", 14}, {"ASI_COOLER_POWER_PERC", 15},
      {"ASI_TARGET_TEMP", 16}, {"ASI_COOLER_ON", 17}, {"ASI_MONO_BIN", 18}, {"ASI_FAN_ON", 19},
      {"ASI_PATTERN_ADJUST", 20}, {"ASI_ANTI_DEW_HEATER", 21}, {"ASI_FAN_ADJUST", 22},
      {"ASI_PWRLED_BRIGNT", 23}, {"ASI_USBHUB_RESET", 24}, {"ASI_GPS_SUPPORT", 25},
      {"ASI_GPS_START_LINE", 26}, {"ASI_GPS_END_LINE", 27}, {"ASI_ROLLING_INTERVAL", 28}}},
    {"CameraMode",
     {{"ASI_MODE_NORMAL", 0}, {"ASI_MODE_TRIG_SOFT_EDGE", 1}, {"ASI_MODE_TRIG_RISE_EDGE", 2},
      {"ASI_MODE_TRIG_FALL_EDGE", 3}, {"ASI_MODE_TRIG_SOFT_LEVEL", 4}, {"ASI_MODE_TRIG_HIGH_LEVEL", 5},
      {"ASI_MODE_TRIG_LOW_LEVEL", 6}, {"ASI_MODE_END", -1}}},
    {"GuideDirection", {{"ASI_GUIDE_NORTH", 0}, {"ASI_GUIDE_SOUTH", 1}, {"ASI_GUIDE_EAST", 2}, {"ASI_GUIDE_WEST", 3}}},
    {"FlipStatus", {{"ASI_FLIP_NONE", 0}, {"ASI_FLIP_HORIZ", 1}, {"ASI_FLIP_VERT", 2}, {"ASI_FLIP_BOTH", 3}}},
    {"TrigOutput", {{"ASI_TRIG_OUTPUT_PINA", 0}, {"ASI_TRIG_OUTPUT_PINB", 1}, {"ASI_TRIG_OUTPUT_NONE", -1}}},
    {"ExposureStatus", {{"ASI_EXP_IDLE", 0}, {"ASI_EXP_WORKING", 1}, {"ASI_EXP_SUCCESS", 2}, {"ASI_EXP_FAILED", 3}}},
};

struct ErrorClass { const char* name; int code; const char* doc; };  // code -1: in no table entry

const ErrorClass error_classes[] = {
    {"ASIError", -1, "Base exception class for all ASI errors."},
    {"ASISuccess", 0, "ASI operation completed successfully."},
    {"ASIInvalidIndex", 1, "Invalid index: No camera connected or index value out of boundary."},
    {"ASIInvalidID", 2, "Invalid camera ID provided."},
    {"ASICameraClosed", 4, "Failed to open camera: Camera is closed."},
    {"ASICameraRemoved", 5, "Camera removed: Failed to find the camera, it might have been disconnected."},
    {"ASITimeout", 11, "Operation timed out."},
    {"ASIGeneralError", 16, "General error: Value is out of valid range."},
    {"ASIInvalidControlType", 3, "Invalid control type provided."},
    {"ASIInvalidPath", 6, "Invalid file path provided."},
    {"ASIInvalidFileFormat", 7, "Invalid file format provided."},
    {"ASIInvalidSize", 8, "Invalid video format size."},
    {"ASIInvalidImageType", 9, "Unsupported image format."},
    {"ASIOutOfBoundary", 10, "The start position is out of boundary."},
    {"ASIInvalidSequence", 12, "Stop capture first: Invalid sequence of operations."},
    {"ASIBufferTooSmall", 13, "Buffer size is too small for the operation."},
    {"ASIVideoModeActive", 14, "Operation failed because video mode is currently active."},
    {"ASIExposureInProgress", 15, "Cannot perform operation while exposure is in progress."},
    {"ASIInvalidMode", 17, "The current mode is incorrect for this operation."},
    {"ASIGPSNotSupported", 18, "GPS is not supported by this camera."},
    {"ASIGPSVersionError", 19, "The FPGA GPS version is too low for the requested operation."},
    {"ASIGPSFPGAError", 20, "Failed to read or write data to FPGA for GPS."},
    {"ASIGPSParamOutOfRange", 21,
     "GPS parameter out of range: Start line or end line must be between 0 and MaxHeight-1."},
    {"ASIGPSDataInvalid", 22, "Invalid GPS data: GPS has not found satellites or FPGA cannot read GPS data."},
    {"ASIErrorEnd", 23, "End of ASI error codes."},
    {"ASIUnknownErrorCode", -1, "End of ASI error codes."},
};
constexpr int kTableSize = 24;

// Sets ns[key] = value for a text key, through the mapping protocol (the
// enumeration namespace is not a plain dict).
bool set_item(PyObject* ns, const char* key, PyObject* value) {
    Ref k(PyUnicode_FromString(key));
    return k && value && PyObject_SetItem(ns, k.get(), value) == 0;
}

// As a class statement would: metaclass.__prepare__, __module__ and __qualname__
// first, the members in order, then metaclass(name, bases, namespace).
bool add_enumeration(PyObject* module, const Enumeration& e) {
    Ref base = lookup(names.IntEnum);
    if (!base) return false;
    Ref name(PyUnicode_FromString(e.name));
    if (!name) return false;
    Ref bases = build_tuple({Py_NewRef(base.get())});
    if (!bases) return false;
    PyObject* metaclass = reinterpret_cast<PyObject*>(Py_TYPE(base.get()));
    Ref ns(PyObject_CallMethod(metaclass, "__prepare__", "OO", name.get(), bases.get()));
    if (!ns) return false;
    Ref module_name(PyUnicode_FromString(kModuleName));
    if (!set_item(ns.get(), "__module__", module_name.get()) || !set_item(ns.get(), "__qualname__", name.get()))
        return false;
    for (const Member& m : e.members) {
        Ref value(PyLong_FromLong(m.value));
        if (!set_item(ns.get(), m.name, value.get())) return false;
    }
    Ref cls(PyObject_CallFunctionObjArgs(metaclass, name.get(), bases.get(), ns.get(), nullptr));
    return cls && register_enumeration(cls.get()) && PyModule_AddObjectRef(module, e.name, cls.get()) == 0;
}

// An ordinary class with one base, as `type(name, (base,), namespace)` makes it.
bool add_error_class(PyObject* module, const ErrorClass& c, PyObject* base) {
    Ref name(PyUnicode_FromString(c.name));
    Ref bases = build_tuple({Py_NewRef(base)});
    Ref ns(PyDict_New());
    Ref module_name(PyUnicode_FromString(kModuleName));
    Ref doc(PyUnicode_FromString(c.doc));
    if (!name || !bases || !ns || !set_item(ns.get(), "__module__", module_name.get()) ||
        !set_item(ns.get(), "__qualname__", name.get()) || !set_item(ns.get(), "__doc__", doc.get()))
        return false;
    Ref cls(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyType_Type), name.get(), bases.get(),
                                         ns.get(), nullptr));
    return cls && PyModule_AddObjectRef(module, c.name, cls.get()) == 0;
}

// Codes 0 to 23 in ascending order, each class fetched from the namespace by name.
bool add_code_table(PyObject* module) {
    Ref table(_PyDict_NewPresized(kTableSize));
    if (!table) return false;
    for (int code = 0; code < kTableSize; ++code) {
        for (const ErrorClass& c : error_classes) {
            if (c.code != code) continue;
            Ref name(PyUnicode_FromString(c.name));
            Ref cls = name ? lookup(name.get()) : Ref();
            Ref key(PyLong_FromLong(code));
            if (!cls || !key || PyDict_SetItem(table.get(), key.get(), cls.get()) < 0) return false;
        }
    }
    return PyModule_AddObjectRef(module, "ASI_ERROR_CODE_TO_EXCEPTION", table.get()) == 0;
}

Ref error_message(PyObject* code, const char* suffix) {
    // An exact int's text is its decimal form, which C writes without the format machinery.
    if (PyLong_CheckExact(code)) {
        int overflow = 0;
        long long value = PyLong_AsLongLongAndOverflow(code, &overflow);
        if (!overflow) {
            char text[64];
            int length = PyOS_snprintf(text, sizeof text, "ASI error code %lld%s", value, suffix);
            return Ref(PyUnicode_FromStringAndSize(text, length));
        }
    }
    return Ref(PyUnicode_FromFormat("ASI error code %S%s", code, suffix));
}

}  // namespace

bool add_enumerations_and_errors(PyObject* module) {
    for (const Enumeration& e : enumerations)
        if (!add_enumeration(module, e)) return false;
    PyObject* base = PyExc_Exception;
    Ref root;
    for (const ErrorClass& c : error_classes) {
        if (!add_error_class(module, c, base)) return false;
        if (!root) {
            Ref name(PyUnicode_FromString(c.name));
            root = name ? lookup(name.get()) : Ref();
            if (!root) return false;
            base = root.get();
        }
    }
    return add_code_table(module);
}

// handle_error_code(asi_error_code): None for success, else raises the mapped class.
PyObject* handle_error_code(Bound& a) { return error_code_steps(a[0]); }

PyObject* error_code_steps(PyObject* code) {
    if (known_success(code)) Py_RETURN_NONE;
    Ref table = lookup(names.ASI_ERROR_CODE_TO_EXCEPTION);
    if (!table) return fail();
    Ref exc_type;
    if (PyDict_CheckExact(table.get())) {
        // An exact dict's `get` cannot be overridden: its look-up, without the bound method.
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(table.get(), code, &found) >= 0) exc_type = Ref(found ? found : Py_NewRef(Py_None));
    } else {
        Ref get(PyObject_GetAttr(table.get(), names.get));
        if (!get) return fail();
        exc_type = Ref(PyObject_CallOneArg(get.get(), code));
    }
    if (!exc_type) return fail();
    if (exc_type.get() == Py_None) {
        Ref unknown = lookup(names.ASIUnknownErrorCode);
        if (!unknown) return fail();
        Ref message = error_message(code, " (unknown).");
        if (!message) return fail();
        Ref exc(PyObject_CallOneArg(unknown.get(), message.get()));
        if (!exc) return fail();
        raise_object(exc.get());
        return fail();
    }
    Ref success = lookup(names.ASISuccess);
    if (!success) return fail();
    if (exc_type.get() == success.get()) Py_RETURN_NONE;
    Ref message = error_message(code, ".");
    if (!message) return fail();
    Ref exc(PyObject_CallOneArg(exc_type.get(), message.get()));
    if (!exc) return fail();
    raise_object(exc.get());
    return fail();
}

}  // namespace korvi
