// Snapshot exposure.
#include "operations.hpp"

namespace korvi {

namespace {

// A frame buffer of buffer_size zero bytes, made by the built-in bytearray type.
Ref new_frame_buffer(PyObject* size) {
    return Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyByteArray_Type), size));
}

Ref bytes_copy(const Ref& buffer) {
    return Ref(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), buffer.get()));
}

unsigned char* storage(const Ref& buffer) {
    return reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(buffer.get()));
}

}  // namespace

PyObject* start_exposure(Bound& a) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera;
    if (!as_c_int(a[0], camera)) return fail();
    if (!check(handle, ASIStartExposure(camera, a.flag(1)))) return fail();
    Py_RETURN_NONE;
}

PyObject* stop_exposure(Bound& a) { return camera_call(a, ASIStopExposure); }

PyObject* get_exp_status(Bound& a) {
    int status = ASI_EXP_IDLE;
    if (!camera_get_int(a, ASIGetExpStatus, status)) return fail();
    // The member validates the status; the int result rule then makes it a plain int.
    Ref member = enum_member(names.ExposureStatus, status);
    return member ? member.release() : fail();
}

namespace {

// The fetch shared by both variants: the buffer first (a bad size fails before
// anything else), then the look-up, the conversions, the call and the copy.
Ref fetch_after_exp(Bound& a, ASI_GPS_DATA* gps) {
    Ref buffer = new_frame_buffer(a[1]);
    if (!buffer) return Ref();
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return Ref();
    int camera;
    long size;
    if (!as_c_int(a[0], camera) || !as_c_long(a[1], size)) return Ref();
    int code = gps ? ASIGetDataAfterExpGPS(camera, storage(buffer), size, gps)
                   : ASIGetDataAfterExp(camera, storage(buffer), size);
    if (!check(handle, code)) return Ref();
    return bytes_copy(buffer);
}

}  // namespace

PyObject* get_data_after_exp(Bound& a) {
    Ref data = fetch_after_exp(a, nullptr);
    return data ? data.release() : fail();
}

PyObject* get_data_after_exp_gps(Bound& a) {
    Ref gps = new_record(GpsDataType);
    if (!gps) return fail();
    Ref data = fetch_after_exp(a, &as<GpsDataObject>(gps)->c_gps_data);
    if (!data) return fail();
    Ref result = build_tuple({data.release(), gps.release()});
    return result ? result.release() : fail();
}

// ------------------------------------------------------------------- video

PyObject* start_video_capture(Bound& a) { return camera_call(a, ASIStartVideoCapture); }
PyObject* stop_video_capture(Bound& a) { return camera_call(a, ASIStopVideoCapture); }

PyObject* get_dropped_frames(Bound& a) {
    int dropped = 0;
    if (!camera_get_int(a, ASIGetDroppedFrames, dropped)) return fail();
    return PyLong_FromLong(dropped);
}

PyObject* get_video_data(Bound& a) {
    // Every conversion first, so a bad size fails before anything is allocated.
    int camera, size, wait_ms;
    if (!as_c_int(a[0], camera) || !as_c_int(a[1], size) || !as_c_int(a[2], wait_ms)) return fail();
    Ref py_size(PyLong_FromLong(size));
    if (!py_size) return fail();
    Ref buffer = new_frame_buffer(py_size.get());
    if (!buffer) return fail();
    unsigned char* frame = storage(buffer);
    int code;
    Py_BEGIN_ALLOW_THREADS
    code = ASIGetVideoData(camera, frame, size, wait_ms);
    Py_END_ALLOW_THREADS
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    if (!check(handle, code)) return fail();
    return buffer.release();
}

PyObject* get_video_data_gps(Bound& a) {
    Ref gps = new_record(GpsDataType);
    if (!gps) return fail();
    Ref buffer = new_frame_buffer(a[1]);
    if (!buffer) return fail();
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera, wait_ms;
    long size;
    if (!as_c_int(a[0], camera)) return fail();
    unsigned char* frame = storage(buffer);
    if (!as_c_long(a[1], size) || !as_c_int(a[2], wait_ms)) return fail();
    // The interpreter lock stays held for the whole wait.
    int code = ASIGetVideoDataGPS(camera, frame, size, wait_ms, &as<GpsDataObject>(gps)->c_gps_data);
    if (!check(handle, code)) return fail();
    Ref data = bytes_copy(buffer);
    if (!data) return fail();
    Ref result = build_tuple({data.release(), gps.release()});
    return result ? result.release() : fail();
}

}  // namespace korvi
