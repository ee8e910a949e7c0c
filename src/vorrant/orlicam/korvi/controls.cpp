// Controls.
#include "operations.hpp"

namespace korvi {

PyObject* get_num_of_controls(Bound& a) {
    int count = 0;
    if (!camera_get_int(a, ASIGetNumOfControls, count)) return fail();
    return PyLong_FromLong(count);
}

PyObject* get_control_caps(Bound& a) {
    Ref caps = new_record(ControlCapsType);
    if (!caps) return fail();
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera, index;
    if (!as_c_int(a[0], camera) || !as_c_int(a[1], index)) return fail();
    int code = ASIGetControlCaps(camera, index, &as<ControlCapsObject>(caps)->control_caps);
    if (!check(handle, code)) return fail();
    return caps.release();
}

PyObject* get_control_value(Bound& a) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera, type;
    if (!as_c_int(a[0], camera) || !enum_as_c_int(a[1], type)) return fail();
    long value = 0;
    ASI_BOOL is_auto = ASI_FALSE;
    if (!check(handle, ASIGetControlValue(camera, type, &value, &is_auto))) return fail();
    Ref result = build_tuple({PyLong_FromLong(value), PyBool_FromLong(is_auto != 0)});
    return result ? result.release() : fail();
}

PyObject* set_control_value(Bound& a) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera, type;
    long value;
    if (!as_c_int(a[0], camera) || !enum_as_c_int(a[1], type) || !as_c_long(a[2], value)) return fail();
    if (!check(handle, ASISetControlValue(camera, type, value, a.flag(3)))) return fail();
    Py_RETURN_NONE;
}

}  // namespace korvi
