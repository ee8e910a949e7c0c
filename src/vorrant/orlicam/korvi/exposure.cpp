// Snapshot exposure.
#include <cstring>

#include "operations.hpp"

namespace korvi {

namespace {

// A frame buffer of `size` zero bytes, as bytearray(size) makes it (the built-in
// type cannot be patched): ValueError "negative count", MemoryError.
Ref new_frame_buffer(int size) {
    if (size < 0) {
        PyErr_SetString(PyExc_ValueError, "negative count");
        return Ref();
    }
    Ref buffer(PyByteArray_FromStringAndSize(nullptr, size));
    if (buffer && size > 0) std::memset(PyByteArray_AS_STRING(buffer.get()), 0, static_cast<std::size_t>(size));
    return buffer;
}

unsigned char* storage(const Ref& buffer) {
    return reinterpret_cast<unsigned char*>(PyByteArray_AS_STRING(buffer.get()));
}

// The frame of the calls that return bytes: a new bytes object of `size` zero
// bytes (an exact int), which the SDK fills in place before anyone else sees it.
// It fails as bytearray(size) does: OverflowError beyond an index-sized
// integer, ValueError "negative count", MemoryError.
Ref new_frame_bytes(PyObject* size) {
    Py_ssize_t count = PyNumber_AsSsize_t(size, PyExc_OverflowError);
    if (count == -1 && PyErr_Occurred()) return Ref();
    if (count < 0) {
        PyErr_SetString(PyExc_ValueError, "negative count");
        return Ref();
    }
    if (count > PY_SSIZE_T_MAX - static_cast<Py_ssize_t>(sizeof(PyBytesObject))) {
        PyErr_NoMemory();
        return Ref();
    }
    Ref frame(PyBytes_FromStringAndSize(nullptr, count));
    if (frame) std::memset(PyBytes_AS_STRING(frame.get()), 0, static_cast<std::size_t>(count));
    return frame;
}

// Where the SDK writes the frame. The empty bytes object is shared by the whole
// interpreter, so an empty frame gets a scratch byte instead.
unsigned char* frame_storage(const Ref& frame, unsigned char& scratch) {
    if (PyBytes_GET_SIZE(frame.get()) == 0) return &scratch;
    return reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(frame.get()));
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

// The fetch shared by both variants: the frame first (a bad size fails before
// anything else), then the look-up, the conversions and the call.
Ref fetch_after_exp(Bound& a, ASI_GPS_DATA* gps) {
    Ref frame = new_frame_bytes(a[1]);
    if (!frame) return Ref();
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return Ref();
    int camera;
    long size;
    if (!as_c_int(a[0], camera) || !as_c_long(a[1], size)) return Ref();
    unsigned char scratch = 0;
    unsigned char* data = frame_storage(frame, scratch);
    int code = gps ? ASIGetDataAfterExpGPS(camera, data, size, gps) : ASIGetDataAfterExp(camera, data, size);
    if (!check(handle, code)) return Ref();
    return frame;
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
    Ref buffer = new_frame_buffer(size);
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
    Ref frame = new_frame_bytes(a[1]);
    if (!frame) return fail();
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera, wait_ms;
    long size;
    if (!as_c_int(a[0], camera)) return fail();
    unsigned char scratch = 0;
    unsigned char* data = frame_storage(frame, scratch);
    if (!as_c_long(a[1], size) || !as_c_int(a[2], wait_ms)) return fail();
    // The interpreter lock stays held for the whole wait.
    int code = ASIGetVideoDataGPS(camera, data, size, wait_ms, &as<GpsDataObject>(gps)->c_gps_data);
    if (!check(handle, code)) return fail();
    Ref result = build_tuple({frame.release(), gps.release()});
    return result ? result.release() : fail();
}

}  // namespace korvi
