// Camera modes and trigger I/O.
#include "operations.hpp"

namespace korvi {

PyObject* get_camera_support_mode(Bound& a) {
    Ref modes = new_record(SupportedModeType);
    if (!modes) return fail();
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera;
    if (!as_c_int(a[0], camera)) return fail();
    int code = ASIGetCameraSupportMode(camera, &as<SupportedModeObject>(modes)->c_supported_mode);
    if (!check(handle, code)) return fail();
    Ref list(PyObject_GetAttrString(modes.get(), "supported_camera_mode"));
    if (!list) return fail();
    if (!PyList_CheckExact(list.get()) && list.get() != Py_None) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "list", Py_TYPE(list.get())->tp_name);
        return fail();
    }
    return list.release();
}

PyObject* get_camera_mode(Bound& a) {
    int mode = ASI_MODE_NORMAL;
    if (!camera_get_int(a, ASIGetCameraMode, mode)) return fail();
    Ref member = enum_member(names.CameraMode, mode);
    return member ? member.release() : fail();
}

PyObject* set_camera_mode(Bound& a) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera, mode;
    if (!as_c_int(a[0], camera) || !enum_as_c_int(a[1], mode)) return fail();
    if (!check(handle, ASISetCameraMode(camera, mode))) return fail();
    Py_RETURN_NONE;
}

PyObject* send_soft_trigger(Bound& a) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera;
    if (!as_c_int(a[0], camera)) return fail();
    if (!check(handle, ASISendSoftTrigger(camera, a.flag(1)))) return fail();
    Py_RETURN_NONE;
}

PyObject* set_trigger_output_io_conf(Bound& a) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera, pin;
    long delay, duration;
    if (!as_c_int(a[0], camera) || !enum_as_c_int(a[1], pin) || !as_c_long(a[3], delay) ||
        !as_c_long(a[4], duration))
        return fail();
    if (!check(handle, ASISetTriggerOutputIOConf(camera, pin, a.flag(2), delay, duration))) return fail();
    Py_RETURN_NONE;
}

PyObject* get_trigger_output_io_conf(Bound& a) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera, pin;
    if (!as_c_int(a[0], camera) || !as_c_int(a[1], pin)) return fail();
    ASI_BOOL high = ASI_FALSE;
    long delay = 0, duration = 0;
    if (!check(handle, ASIGetTriggerOutputIOConf(camera, pin, &high, &delay, &duration))) return fail();
    Ref result = build_tuple({PyBool_FromLong(high != 0), PyLong_FromLong(delay), PyLong_FromLong(duration)});
    return result ? result.release() : fail();
}

}  // namespace korvi
