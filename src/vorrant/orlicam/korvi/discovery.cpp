// Discovery and SDK version.
#include <cstring>

#include "operations.hpp"

namespace korvi {

PyObject* get_number_of_connected_cameras(Bound&) {
    return PyLong_FromLong(ASIGetNumOfConnectedCameras());
}

PyObject* camera_check(Bound& a) {
    int vid, pid;
    if (!as_c_int(a[0], vid) || !as_c_int(a[1], pid)) return fail();
    return PyBool_FromLong(ASICameraCheck(vid, pid) != 0);  // the int result rule makes it 1 or 0
}

namespace {

// Both property reads: the record first, then the look-up, the conversion, the call.
PyObject* read_camera_info(Bound& a, ASI_ERROR_CODE (*sdk)(int, ASI_CAMERA_INFO*)) {
    Ref info = new_record(CameraInfoType);
    if (!info) return fail();
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera;
    if (!as_c_int(a[0], camera)) return fail();
    if (!check(handle, sdk(camera, &as<CameraInfoObject>(info)->c_info))) return fail();
    return info.release();
}

}  // namespace

PyObject* get_camera_property(Bound& a) {
    // The index variant takes the out-record first.
    return read_camera_info(a, [](int index, ASI_CAMERA_INFO* out) { return ASIGetCameraProperty(out, index); });
}

PyObject* get_camera_property_by_id(Bound& a) { return read_camera_info(a, ASIGetCameraPropertyByID); }

PyObject* get_sdk_version(Bound&) {
    const char* text = ASIGetSDKVersion();
    // A library that answers with no text at all is read as an empty version.
    std::size_t length = text ? std::strlen(text) : 0;
    if (length == 0) return PyUnicode_FromStringAndSize("", 0);
    PyObject* version = PyUnicode_DecodeUTF8(text, static_cast<Py_ssize_t>(length), "strict");
    return version ? version : fail();
}

}  // namespace korvi
