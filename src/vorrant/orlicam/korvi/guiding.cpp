// Guiding, dark subtraction, gain presets and GPS.
#include <cstring>

#include "operations.hpp"

namespace korvi {

PyObject* enable_dark_subtract(Bound& a) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera;
    if (!as_c_int(a[0], camera)) return fail();
    Ref path(PyUnicode_AsUTF8String(a[1]));
    if (!path) return fail();
    // The library reads the path up to the first NUL: a path cut short there
    // would name another file than the one the caller checked.
    char* text = PyBytes_AS_STRING(path.get());
    if (std::strlen(text) != static_cast<std::size_t>(PyBytes_GET_SIZE(path.get()))) {
        PyErr_SetString(PyExc_ValueError, "embedded null character");
        return fail();
    }
    int code = ASIEnableDarkSubtract(camera, text);
    path = Ref();  // the library keeps no pointer to the path
    if (!check(handle, code)) return fail();
    Py_RETURN_NONE;
}

PyObject* disable_dark_subtract(Bound& a) { return camera_call(a, ASIDisableDarkSubtract); }

namespace {

PyObject* guide(Bound& a, ASI_ERROR_CODE (*sdk)(int, ASI_GUIDE_DIRECTION)) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera, direction;
    if (!as_c_int(a[0], camera) || !enum_as_c_int(a[1], direction)) return fail();
    if (!check(handle, sdk(camera, direction))) return fail();
    Py_RETURN_NONE;
}

PyObject* four_ints(Bound& a, ASI_ERROR_CODE (*sdk)(int, int*, int*, int*, int*)) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera;
    if (!as_c_int(a[0], camera)) return fail();
    int v[4] = {0, 0, 0, 0};
    if (!check(handle, sdk(camera, &v[0], &v[1], &v[2], &v[3]))) return fail();
    Ref result = build_tuple({PyLong_FromLong(v[0]), PyLong_FromLong(v[1]), PyLong_FromLong(v[2]),
                              PyLong_FromLong(v[3])});
    return result ? result.release() : fail();
}

}  // namespace

PyObject* pulse_guide_on(Bound& a) { return guide(a, ASIPulseGuideOn); }
PyObject* pulse_guide_off(Bound& a) { return guide(a, ASIPulseGuideOff); }
PyObject* get_gain_offset(Bound& a) { return four_ints(a, ASIGetGainOffset); }
PyObject* get_lmh_gain_offset(Bound& a) { return four_ints(a, ASIGetLMHGainOffset); }

PyObject* gps_get_data(Bound& a) {
    Ref start = new_record(GpsDataType);
    if (!start) return fail();
    Ref end = new_record(GpsDataType);
    if (!end) return fail();
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera;
    if (!as_c_int(a[0], camera)) return fail();
    int code = ASIGPSGetData(camera, &as<GpsDataObject>(start)->c_gps_data, &as<GpsDataObject>(end)->c_gps_data);
    if (!check(handle, code)) return fail();
    Ref result = build_tuple({start.release(), end.release()});
    return result ? result.release() : fail();
}

}  // namespace korvi
