// Camera lifecycle and identity.
#include "operations.hpp"

namespace korvi {

PyObject* camera_call(Bound& a, ASI_ERROR_CODE (*sdk)(int)) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera;
    if (!as_c_int(a[0], camera)) return fail();
    if (!check(handle, sdk(camera))) return fail();
    Py_RETURN_NONE;
}

bool camera_get_int(Bound& a, ASI_ERROR_CODE (*sdk)(int, int*), int& out) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return failed();
    int camera;
    if (!as_c_int(a[0], camera)) return failed();
    if (!check(handle, sdk(camera, &out))) return failed();
    return true;
}

PyObject* open_camera(Bound& a) { return camera_call(a, ASIOpenCamera); }
PyObject* init_camera(Bound& a) { return camera_call(a, ASIInitCamera); }
PyObject* close_camera(Bound& a) { return camera_call(a, ASICloseCamera); }

namespace {

PyObject* read_id(Bound& a, ASI_ERROR_CODE (*sdk)(int, ASI_ID*)) {
    Ref id = new_record(IdType);
    if (!id) return fail();
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera;
    if (!as_c_int(a[0], camera)) return fail();
    if (!check(handle, sdk(camera, &as<IdObject>(id)->c_id))) return fail();
    return id.release();
}

}  // namespace

PyObject* get_id(Bound& a) { return read_id(a, ASIGetID); }
PyObject* get_serial_number(Bound& a) { return read_id(a, ASIGetSerialNumber); }

PyObject* set_id(Bound& a) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera;
    if (!as_c_int(a[0], camera)) return fail();
    ASI_ID id = reinterpret_cast<IdObject*>(a[1])->c_id;  // a copy, passed by value
    if (!check(handle, ASISetID(camera, id))) return fail();
    Py_RETURN_NONE;
}

}  // namespace korvi
