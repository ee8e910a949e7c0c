// vorrant.orlicam._frames: the camera layer's video frame path. The SDK writes
// each frame straight into a buffer the caller owns (typically a numpy array
// reused from frame to frame), with the interpreter lock released during the
// wait. SDK failures are raised by korvi's own handle_error_code, so callers
// see korvi's exception classes through korvi's error table. It also holds the
// live stacker's per-pixel kernels (resampling, the running outlier-rejecting mean),
// too slow in numpy for a full frame within an exposure.
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <datetime.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

#include "ASICamera2.h"

namespace {

// korvi.GpsData's layout: the object header followed by the SDK record.
struct GpsRecord {
    PyObject_HEAD
    ASI_GPS_DATA data;
};

PyObject* korvi = nullptr;              // the korvi module, strong
PyObject* korvi_dict = nullptr;         // its namespace, strong
PyObject* builtins = nullptr;           // the builtins module, strong
PyTypeObject* gps_type = nullptr;       // korvi.GpsData, strong
PyObject* handle_error_code = nullptr;  // interned name

// Owns one strong reference; released on every path.
class Ref {
public:
    explicit Ref(PyObject* new_reference = nullptr) : p_(new_reference) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }
    PyObject* get() const { return p_; }
    void reset(PyObject* new_reference) { Py_XSETREF(p_, new_reference); }
    PyObject* release() {
        PyObject* p = p_;
        p_ = nullptr;
        return p;
    }
    explicit operator bool() const { return p_ != nullptr; }

private:
    PyObject* p_;
};

// Owns one buffer export; released on every path.
class Export {
public:
    Export() = default;
    Export(const Export&) = delete;
    Export& operator=(const Export&) = delete;
    ~Export() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* o) {
        held_ = PyObject_GetBuffer(o, &view_, PyBUF_STRIDES) == 0;
        return held_;
    }
    Py_buffer& view() { return view_; }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// handle_error_code as korvi's own operations find it: korvi's namespace, then
// the built-ins, NameError when neither has it.
Ref lookup_handle() {
    PyObject* found = nullptr;
    int rc = PyDict_GetItemRef(korvi_dict, handle_error_code, &found);
    if (rc != 0) return Ref(found);
    found = PyObject_GetAttr(builtins, handle_error_code);
    if (found || !PyErr_ExceptionMatches(PyExc_AttributeError)) return Ref(found);
    PyErr_Clear();
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", handle_error_code);
    return Ref();
}

// Calls korvi's handle_error_code, looked up now, with the SDK's code, success
// included, as korvi's own operations do; true when it returned.
bool check(int code) {
    Ref handle = lookup_handle();
    if (!handle) return false;
    Ref py_code(PyLong_FromLong(code));
    if (!py_code) return false;
    Ref result(PyObject_CallOneArg(handle.get(), py_code.get()));
    return static_cast<bool>(result);
}

bool as_int(const char* function, const char* param, PyObject* o, int& out) {
    if (!PyLong_Check(o) && !PyIndex_Check(o)) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be int, not %.200s", function, param,
                     Py_TYPE(o)->tp_name);
        return false;
    }
    out = PyLong_AsInt(o);
    return !(out == -1 && PyErr_Occurred());
}

Py_ssize_t bytes_per_pixel(int img_type) {
    switch (img_type) {
    case ASI_IMG_RAW8:
    case ASI_IMG_Y8:
        return 1;
    case ASI_IMG_RAW16:
        return 2;
    case ASI_IMG_RGB24:
        return 3;
    default:
        return 0;
    }
}

// The frame size the camera's current region and format imply, in bytes; -1 with
// the error set otherwise. The SDK's numbers are not trusted: a size that is not
// positive is a ValueError, and one whose bytes do not fit in Py_ssize_t an
// OverflowError (checked products: signed overflow would be undefined).
Py_ssize_t frame_size(int camera) {
    int width = 0, height = 0, bin = 0;
    ASI_IMG_TYPE img_type = ASI_IMG_RAW8;
    if (!check(ASIGetROIFormat(camera, &width, &height, &bin, &img_type))) return -1;
    Py_ssize_t depth = bytes_per_pixel(img_type);
    if (depth == 0) {
        PyErr_Format(PyExc_ValueError, "camera %d reports an unknown image format %d", camera,
                     static_cast<int>(img_type));
        return -1;
    }
    if (width <= 0 || height <= 0) {
        PyErr_Format(PyExc_ValueError, "camera %d reports a %d x %d region; both sizes must be positive", camera,
                     width, height);
        return -1;
    }
    Py_ssize_t pixels = 0, bytes = 0;
    if (__builtin_mul_overflow(static_cast<Py_ssize_t>(width), static_cast<Py_ssize_t>(height), &pixels) ||
        __builtin_mul_overflow(pixels, depth, &bytes) || bytes > static_cast<Py_ssize_t>(LONG_MAX)) {
        PyErr_Format(PyExc_OverflowError, "camera %d reports a %d x %d region of %zd bytes per pixel: too large",
                     camera, width, height, depth);
        return -1;
    }
    return bytes;
}

// Checks the arguments and exports the buffer: a writable, C-contiguous
// buffer of exactly the frame size. False with the error set otherwise.
bool prepare(const char* function, PyObject* const* args, Py_ssize_t nargs, int& camera, int& wait_ms,
             Export& buffer) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "%s() takes exactly 3 positional arguments (%zd given)", function, nargs);
        return false;
    }
    if (!as_int(function, "camera_id", args[0], camera) || !as_int(function, "wait_ms", args[2], wait_ms))
        return false;
    PyObject* target = args[1];
    if (!PyObject_CheckBuffer(target)) {
        PyErr_Format(PyExc_TypeError,
                     "%s() argument 'buffer' must be a writable C-contiguous buffer such as a numpy array, "
                     "not %.200s",
                     function, Py_TYPE(target)->tp_name);
        return false;
    }
    if (!buffer.acquire(target)) return false;
    Py_buffer& view = buffer.view();
    if (view.readonly) {
        PyErr_Format(PyExc_TypeError, "%s() argument 'buffer' is read-only (%.200s); the frame needs a writable one",
                     function, Py_TYPE(target)->tp_name);
        return false;
    }
    if (!PyBuffer_IsContiguous(&view, 'C')) {
        PyErr_Format(PyExc_ValueError, "%s() argument 'buffer' is not C-contiguous", function);
        return false;
    }
    Py_ssize_t expected = frame_size(camera);
    if (expected < 0) return false;
    if (view.len != expected) {
        PyErr_Format(PyExc_ValueError, "%s() argument 'buffer' holds %zd bytes; camera %d's frame needs %zd",
                     function, view.len, camera, expected);
        return false;
    }
    return true;
}

PyObject* read_video_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int camera, wait_ms;
    Export buffer;
    if (!prepare("read_video_frame", args, nargs, camera, wait_ms, buffer)) return nullptr;
    Py_buffer& view = buffer.view();
    int code;
    Py_BEGIN_ALLOW_THREADS
    code = ASIGetVideoData(camera, static_cast<unsigned char*>(view.buf), static_cast<long>(view.len), wait_ms);
    Py_END_ALLOW_THREADS
    if (!check(code)) return nullptr;
    Py_RETURN_NONE;
}

PyObject* read_video_frame_gps(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    int camera, wait_ms;
    Export buffer;
    if (!prepare("read_video_frame_gps", args, nargs, camera, wait_ms, buffer)) return nullptr;
    // korvi's record types are static, so allocating one is what calling the type does.
    Ref gps(gps_type->tp_alloc(gps_type, 0));
    if (!gps) return nullptr;
    ASI_GPS_DATA* record = &reinterpret_cast<GpsRecord*>(gps.get())->data;
    Py_buffer& view = buffer.view();
    int code;
    Py_BEGIN_ALLOW_THREADS
    code = ASIGetVideoDataGPS(camera, static_cast<unsigned char*>(view.buf), static_cast<long>(view.len),
                              wait_ms, record);
    Py_END_ALLOW_THREADS
    if (!check(code)) return nullptr;
    return gps.release();
}

// Types whose instances copy_slots can copy: plain __slots__ classes directly on
// object, so the slots are the whole of the instance's state.
bool copyable(PyTypeObject* type) {
    if (!(type->tp_flags & Py_TPFLAGS_HEAPTYPE) || type->tp_base != &PyBaseObject_Type || type->tp_itemsize != 0 ||
        type->tp_dictoffset != 0 || type->tp_weaklistoffset != 0 ||
        (type->tp_flags & (Py_TPFLAGS_MANAGED_DICT | Py_TPFLAGS_MANAGED_WEAKREF)))
        return false;
    for (PyMemberDef* member = type->tp_members; member && member->name; ++member)
        if (member->type != Py_T_OBJECT_EX || (member->flags & Py_READONLY)) return false;
    return true;
}

PyObject*& slot_at(PyObject* o, Py_ssize_t offset) {
    return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(o) + offset);
}

// A new instance of a copyable object's type with every slot bound as in the original:
// what object.__new__ makes (zeroed, tracked by the collector when the type is), filled.
PyObject* clone(PyObject* original) {
    PyTypeObject* type = Py_TYPE(original);
    PyObject* copy = type->tp_alloc(type, 0);
    if (!copy) return nullptr;
    for (PyMemberDef* member = type->tp_members; member && member->name; ++member)
        slot_at(copy, member->offset) = Py_XNewRef(slot_at(original, member->offset));
    return copy;
}

PyObject* copy_slots(PyObject*, PyObject* original) {
    if (!copyable(Py_TYPE(original))) {
        PyErr_Format(PyExc_TypeError, "copy_slots() takes an instance of a __slots__ class based on object, not %.200s",
                     Py_TYPE(original)->tp_name);
        return nullptr;
    }
    return clone(original);
}

// FrameStamper(frame_type, template, lag_seconds): called with (data, index) for each
// video frame, it makes frame_type(data, meta) where meta is a copy of template with
// start_time the current UTC time less lag_seconds, gps None and that index. One call
// in place of a clock read, a timedelta subtraction and two slot-by-slot constructions.
struct Stamper {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* meta;            // the template, strong
    PyTypeObject* frame_type;  // strong
    long long lag_us;
    Py_ssize_t start_at, gps_at, index_at, data_at, meta_at;
};

PyObject* utc = nullptr;  // datetime.timezone.utc, strong

// datetime(..., tzinfo=UTC) for the current time less lag_us microseconds.
PyObject* utc_now_less(long long lag_us) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    long long us = static_cast<long long>(now.tv_sec) * 1000000 + now.tv_nsec / 1000 - lag_us;
    long long seconds = us / 1000000, fraction = us % 1000000;
    if (fraction < 0) {
        fraction += 1000000;
        seconds -= 1;
    }
    time_t whole = static_cast<time_t>(seconds);
    tm parts{};
    if (!gmtime_r(&whole, &parts)) {
        PyErr_SetString(PyExc_OverflowError, "the frame's start time is out of range");
        return nullptr;
    }
    return PyDateTimeAPI->DateTime_FromDateAndTime(parts.tm_year + 1900, parts.tm_mon + 1, parts.tm_mday,
                                                   parts.tm_hour, parts.tm_min, parts.tm_sec,
                                                   static_cast<int>(fraction), utc, PyDateTimeAPI->DateTimeType);
}

PyObject* stamper_call(PyObject* callable, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Stamper* self = reinterpret_cast<Stamper*>(callable);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 2 || (kwnames && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_Format(PyExc_TypeError, "FrameStamper takes exactly 2 positional arguments (data, index), %zd given",
                     nargs);
        return nullptr;
    }
    PyObject* data = args[0];
    PyObject* index = args[1];
    if (!PyLong_CheckExact(index)) {
        PyErr_Format(PyExc_TypeError, "FrameStamper index must be int, not %.200s", Py_TYPE(index)->tp_name);
        return nullptr;
    }
    Ref start(utc_now_less(self->lag_us));
    if (!start) return nullptr;
    Ref meta(clone(self->meta));
    if (!meta) return nullptr;
    Py_XSETREF(slot_at(meta.get(), self->start_at), start.release());
    Py_XSETREF(slot_at(meta.get(), self->gps_at), Py_NewRef(Py_None));
    Py_XSETREF(slot_at(meta.get(), self->index_at), Py_NewRef(index));
    Ref frame(self->frame_type->tp_alloc(self->frame_type, 0));
    if (!frame) return nullptr;
    slot_at(frame.get(), self->data_at) = Py_NewRef(data);
    slot_at(frame.get(), self->meta_at) = meta.release();
    return frame.release();
}

// Finds a named slot of a copyable type, or raises TypeError.
bool find_slot(PyTypeObject* type, const char* name, Py_ssize_t& offset) {
    for (PyMemberDef* member = type->tp_members; member && member->name; ++member)
        if (std::strcmp(member->name, name) == 0) {
            offset = member->offset;
            return true;
        }
    PyErr_Format(PyExc_TypeError, "FrameStamper needs a slot '%s' in %.200s", name, type->tp_name);
    return false;
}

PyObject* stamper_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject *frame_type, *meta;
    double lag;
    if (kwargs && PyDict_GET_SIZE(kwargs) != 0) {
        PyErr_SetString(PyExc_TypeError, "FrameStamper() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_ParseTuple(args, "O!Od:FrameStamper", &PyType_Type, &frame_type, &meta, &lag)) return nullptr;
    PyTypeObject* frames = reinterpret_cast<PyTypeObject*>(frame_type);
    if (!copyable(frames) || !copyable(Py_TYPE(meta))) {
        PyErr_SetString(PyExc_TypeError,
                        "FrameStamper() takes a frame type and a template whose types are __slots__ classes "
                        "based on object");
        return nullptr;
    }
    if (!std::isfinite(lag) || std::fabs(lag) > 1e9) {
        PyErr_Format(PyExc_ValueError, "FrameStamper() lag must be finite seconds, not %R", PyTuple_GET_ITEM(args, 2));
        return nullptr;
    }
    Ref made(type->tp_alloc(type, 0));
    if (!made) return nullptr;
    Stamper* self = reinterpret_cast<Stamper*>(made.get());
    self->vectorcall = stamper_call;
    self->lag_us = std::llround(lag * 1e6);
    if (!find_slot(Py_TYPE(meta), "start_time", self->start_at) || !find_slot(Py_TYPE(meta), "gps", self->gps_at) ||
        !find_slot(Py_TYPE(meta), "index", self->index_at) || !find_slot(frames, "data", self->data_at) ||
        !find_slot(frames, "meta", self->meta_at))
        return nullptr;
    self->meta = Py_NewRef(meta);
    self->frame_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(frame_type));
    return made.release();
}

int stamper_traverse(PyObject* o, visitproc visit, void* arg) {
    Stamper* self = reinterpret_cast<Stamper*>(o);
    Py_VISIT(self->meta);
    Py_VISIT(self->frame_type);
    return 0;
}

int stamper_clear(PyObject* o) {
    Stamper* self = reinterpret_cast<Stamper*>(o);
    Py_CLEAR(self->meta);
    Py_CLEAR(self->frame_type);
    return 0;
}

void stamper_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    stamper_clear(o);
    Py_TYPE(o)->tp_free(o);
}

PyTypeObject stamper_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "vorrant.orlicam._frames.FrameStamper";
    t.tp_basicsize = sizeof(Stamper);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_doc = PyDoc_STR(
        "FrameStamper(frame_type, template, lag_seconds, /)\n--\n\n"
        "Called with (data, index), makes frame_type(data, meta) without running __init__: meta\n"
        "is a copy of template (as copy_slots makes it) with start_time the current UTC time\n"
        "less lag_seconds, gps None and index. Both types must be __slots__ classes based on\n"
        "object; the template's needs slots start_time, gps and index, the frame type's data\n"
        "and meta.");
    t.tp_new = stamper_new;
    t.tp_dealloc = stamper_dealloc;
    t.tp_traverse = stamper_traverse;
    t.tp_clear = stamper_clear;
    t.tp_call = PyVectorcall_Call;
    t.tp_vectorcall_offset = offsetof(Stamper, vectorcall);
    return t;
}();

// StreamStep: one video frame of a running Camera.stream() per call, for the mono
// formats the layer reads into numpy arrays: the first slice of the wait, the ring slot
// (copy=False) or a fresh read-only array (copy=True), the frame count, the check of
// whether the settings the frames carry must be read again, and the frame made by the
// stream's FrameStamper. It makes the same SDK calls as read_video_frame(_gps). When
// the layer has more to do (settings to read again, a GPS time on the frame) it returns
// (data, gps, began, index) instead of a frame and the layer counts the frame once it
// has finished it; a failure is raised as
// read_video_frame raises it, with `began` kept for the layer's longer wait.
struct Step {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* cam;         // the Camera, strong: its _changes is read after each frame
    PyObject* camera_id;   // exact int, strong
    PyObject* wait_ms;     // exact int, strong: the first slice
    PyObject* ring;        // list of the arrays written into (copy=False), or None
    PyObject* views;       // list of their read-only views, handed out in frames
    PyObject* empty;       // numpy.empty (copy=True), or None
    PyObject* shape;
    PyObject* dtype;
    PyObject* stamp;       // the stream's FrameStamper, replaced when the settings are read again
    int gps;               // the camera stamps GPS records
    int live;              // exposure or gain automatic: the settings are read every frame
    long long seen;        // the camera's _changes when the settings were last read
    double refresh_at;     // time.monotonic() from which they are read again
    long long count;       // frames read
    double began;          // time.monotonic() when the last call began
};

PyObject* changes_name = nullptr;    // interned "_changes"
PyObject* flags_name = nullptr;      // interned "flags"
PyObject* writeable_name = nullptr;  // interned "writeable"

double monotonic_now() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// Reads one frame into `target` as read_video_frame(_gps) does; the GPS record (or None) or null.
PyObject* read_into(Step* self, PyObject* target) {
    const char* function = self->gps ? "read_video_frame_gps" : "read_video_frame";
    PyObject* args[3] = {self->camera_id, target, self->wait_ms};
    int camera, wait_ms;
    Export buffer;
    if (!prepare(function, args, 3, camera, wait_ms, buffer)) return nullptr;
    Py_buffer& view = buffer.view();
    int code;
    if (!self->gps) {
        Py_BEGIN_ALLOW_THREADS
        code = ASIGetVideoData(camera, static_cast<unsigned char*>(view.buf), static_cast<long>(view.len), wait_ms);
        Py_END_ALLOW_THREADS
        if (!check(code)) return nullptr;
        return Py_NewRef(Py_None);
    }
    Ref gps(gps_type->tp_alloc(gps_type, 0));
    if (!gps) return nullptr;
    ASI_GPS_DATA* record = &reinterpret_cast<GpsRecord*>(gps.get())->data;
    Py_BEGIN_ALLOW_THREADS
    code = ASIGetVideoDataGPS(camera, static_cast<unsigned char*>(view.buf), static_cast<long>(view.len), wait_ms,
                              record);
    Py_END_ALLOW_THREADS
    if (!check(code)) return nullptr;
    return gps.release();
}

PyObject* step_call(PyObject* callable, PyObject* const*, size_t nargsf, PyObject* kwnames) {
    Step* self = reinterpret_cast<Step*>(callable);
    if (PyVectorcall_NARGS(nargsf) != 0 || (kwnames && PyTuple_GET_SIZE(kwnames) != 0)) {
        PyErr_SetString(PyExc_TypeError, "StreamStep takes no arguments");
        return nullptr;
    }
    if (!self->stamp || !self->cam || !self->camera_id || !self->wait_ms) {
        PyErr_SetString(PyExc_RuntimeError, "StreamStep is not set up");
        return nullptr;
    }
    double began = monotonic_now();
    self->began = began;
    Ref data;
    Ref target;
    if (self->ring && PyList_CheckExact(self->ring) && self->views && PyList_CheckExact(self->views) &&
        PyList_GET_SIZE(self->ring) == 3 && PyList_GET_SIZE(self->views) == 3) {
        Py_ssize_t slot = static_cast<Py_ssize_t>(self->count % 3);
        target.reset(Py_NewRef(PyList_GET_ITEM(self->ring, slot)));
        data.reset(Py_NewRef(PyList_GET_ITEM(self->views, slot)));
    } else if (self->empty && self->empty != Py_None && self->shape && self->dtype) {
        PyObject* args[2] = {self->shape, self->dtype};
        target.reset(PyObject_Vectorcall(self->empty, args, 2, nullptr));
        if (!target) return nullptr;
    } else {
        PyErr_SetString(PyExc_RuntimeError, "StreamStep has neither a ring of buffers nor numpy.empty");
        return nullptr;
    }
    Ref gps(read_into(self, target.get()));
    if (!gps) return nullptr;
    if (!data) {
        // out.flags.writeable = False, as the layer hands out fresh arrays.
        Ref flags(PyObject_GetAttr(target.get(), flags_name));
        if (!flags || PyObject_SetAttr(flags.get(), writeable_name, Py_False) < 0) return nullptr;
        data.reset(target.release());
    }
    long long index = self->count;
    Ref changes(PyObject_GetAttr(self->cam, changes_name));
    if (!changes) return nullptr;
    long long now_changes = PyLong_AsLongLong(changes.get());
    if (now_changes == -1 && PyErr_Occurred()) return nullptr;
    bool gps_time = gps.get() != Py_None && reinterpret_cast<GpsRecord*>(gps.get())->data.Datetime.Year > 0;
    Ref py_index(PyLong_FromLongLong(index));
    if (!py_index) return nullptr;
    if (self->live || self->seen != now_changes || began >= self->refresh_at || gps_time) {
        Ref py_began(PyFloat_FromDouble(began));
        if (!py_began) return nullptr;
        return PyTuple_Pack(4, data.get(), gps.get(), py_began.get(), py_index.get());
    }
    PyObject* args[2] = {data.get(), py_index.get()};
    PyObject* frame = PyObject_Vectorcall(self->stamp, args, 2, nullptr);
    if (frame) self->count = index + 1;
    return frame;
}

PyObject* step_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_SetString(PyExc_TypeError, "StreamStep() takes no arguments; set its attributes");
        return nullptr;
    }
    Ref made(type->tp_alloc(type, 0));
    if (!made) return nullptr;
    reinterpret_cast<Step*>(made.get())->vectorcall = step_call;
    return made.release();
}

#define STEP_OBJECTS(X) X(cam) X(camera_id) X(wait_ms) X(ring) X(views) X(empty) X(shape) X(dtype) X(stamp)

int step_traverse(PyObject* o, visitproc visit, void* arg) {
    Step* self = reinterpret_cast<Step*>(o);
#define VISIT(name) Py_VISIT(self->name);
    STEP_OBJECTS(VISIT)
#undef VISIT
    return 0;
}

int step_clear(PyObject* o) {
    Step* self = reinterpret_cast<Step*>(o);
#define CLEAR(name) Py_CLEAR(self->name);
    STEP_OBJECTS(CLEAR)
#undef CLEAR
    return 0;
}

void step_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    step_clear(o);
    Py_TYPE(o)->tp_free(o);
}

PyMemberDef step_members[] = {
    {"cam", Py_T_OBJECT_EX, offsetof(Step, cam), 0, nullptr},
    {"camera_id", Py_T_OBJECT_EX, offsetof(Step, camera_id), 0, nullptr},
    {"wait_ms", Py_T_OBJECT_EX, offsetof(Step, wait_ms), 0, nullptr},
    {"ring", Py_T_OBJECT_EX, offsetof(Step, ring), 0, nullptr},
    {"views", Py_T_OBJECT_EX, offsetof(Step, views), 0, nullptr},
    {"empty", Py_T_OBJECT_EX, offsetof(Step, empty), 0, nullptr},
    {"shape", Py_T_OBJECT_EX, offsetof(Step, shape), 0, nullptr},
    {"dtype", Py_T_OBJECT_EX, offsetof(Step, dtype), 0, nullptr},
    {"stamp", Py_T_OBJECT_EX, offsetof(Step, stamp), 0, nullptr},
    {"gps", Py_T_BOOL, offsetof(Step, gps), 0, nullptr},
    {"live", Py_T_BOOL, offsetof(Step, live), 0, nullptr},
    {"seen", Py_T_LONGLONG, offsetof(Step, seen), 0, nullptr},
    {"refresh_at", Py_T_DOUBLE, offsetof(Step, refresh_at), 0, nullptr},
    {"count", Py_T_LONGLONG, offsetof(Step, count), 0, nullptr},
    {"began", Py_T_DOUBLE, offsetof(Step, began), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject step_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "vorrant.orlicam._frames.StreamStep";
    t.tp_basicsize = sizeof(Step);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_doc = PyDoc_STR(
        "StreamStep()\n--\n\n"
        "One frame of a running video stream per call: reads it (the first wait slice) into the\n"
        "next ring buffer or a fresh array, counts it and returns the FrameStamper's frame, or\n"
        "(data, gps, began, index) when the settings must be read again or the frame has a GPS\n"
        "time. Its attributes are set by the stream.");
    t.tp_new = step_new;
    t.tp_dealloc = step_dealloc;
    t.tp_traverse = step_traverse;
    t.tp_clear = step_clear;
    t.tp_members = step_members;
    t.tp_call = PyVectorcall_Call;
    t.tp_vectorcall_offset = offsetof(Step, vectorcall);
    return t;
}();

// StreamExit: a stream's __exit__. A Python __exit__ can be interrupted by Ctrl-C at its
// very first instruction, before it has marked the stream ended, and the camera would
// stay "streaming" for good. Here the marks are made before any Python code runs: the
// stream is no longer running and its StreamStep's count is kept; then `leave(stream,
// exc_type, exc, tb)` stops the capture. Ctrl-C from there on leaves an ended stream that
// still holds the camera, which the camera's next capture or stream stops.
struct Exit {
    PyObject_HEAD
    vectorcallfunc vectorcall;
    PyObject* leave;   // strong
};

PyObject* running_name = nullptr;  // interned "_running"
PyObject* step_name = nullptr;     // interned "_step"
PyObject* count_name = nullptr;    // interned "_count"
PyObject* step_count_name = nullptr;  // interned "count"

PyObject* exit_call(PyObject* o, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    Exit* self = reinterpret_cast<Exit*>(o);
    Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    if (nargs != 4 || kwnames) {
        PyErr_SetString(PyExc_TypeError, "StreamExit takes (stream, exc_type, exc, tb)");
        return nullptr;
    }
    PyObject* stream = args[0];
    Ref running(PyObject_GetAttr(stream, running_name));
    if (!running) return nullptr;
    int on = PyObject_IsTrue(running.get());
    if (on < 0) return nullptr;
    if (!on) Py_RETURN_NONE;
    if (PyObject_SetAttr(stream, running_name, Py_False) < 0) return nullptr;
    Ref step(PyObject_GetAttr(stream, step_name));
    if (!step) return nullptr;
    if (step.get() != Py_None) {
        Ref count(PyObject_GetAttr(step.get(), step_count_name));
        if (!count || PyObject_SetAttr(stream, count_name, count.get()) < 0 ||
            PyObject_SetAttr(stream, step_name, Py_None) < 0)
            return nullptr;
    }
    return PyObject_Vectorcall(self->leave, args, nargs, nullptr);
}

PyObject* exit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* leave = nullptr;
    if (kwargs && PyDict_GET_SIZE(kwargs)) {
        PyErr_SetString(PyExc_TypeError, "StreamExit() takes no keyword arguments");
        return nullptr;
    }
    if (!PyArg_UnpackTuple(args, "StreamExit", 1, 1, &leave)) return nullptr;
    if (!PyCallable_Check(leave)) {
        PyErr_SetString(PyExc_TypeError, "StreamExit() takes a callable");
        return nullptr;
    }
    Exit* self = reinterpret_cast<Exit*>(type->tp_alloc(type, 0));
    if (!self) return nullptr;
    self->vectorcall = exit_call;
    self->leave = Py_NewRef(leave);
    return reinterpret_cast<PyObject*>(self);
}

int exit_traverse(PyObject* o, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<Exit*>(o)->leave);
    return 0;
}

int exit_clear(PyObject* o) {
    Py_CLEAR(reinterpret_cast<Exit*>(o)->leave);
    return 0;
}

void exit_dealloc(PyObject* o) {
    PyObject_GC_UnTrack(o);
    exit_clear(o);
    Py_TYPE(o)->tp_free(o);
}

// Bound like a function, so that it serves as a method.
PyObject* exit_get(PyObject* o, PyObject* obj, PyObject*) {
    if (!obj || obj == Py_None) return Py_NewRef(o);
    return PyMethod_New(o, obj);
}

PyTypeObject exit_type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "vorrant.orlicam._frames.StreamExit";
    t.tp_basicsize = sizeof(Exit);
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    t.tp_doc = PyDoc_STR(
        "StreamExit(leave, /)\n--\n\n"
        "A stream's __exit__(exc_type, exc, tb): when the stream's _running is true, sets it\n"
        "false and moves its _step's count to _count (and _step to None) before any Python code\n"
        "runs, then returns leave(stream, exc_type, exc, tb); otherwise returns None.");
    t.tp_new = exit_new;
    t.tp_dealloc = exit_dealloc;
    t.tp_traverse = exit_traverse;
    t.tp_clear = exit_clear;
    t.tp_descr_get = exit_get;
    t.tp_call = PyVectorcall_Call;
    t.tp_vectorcall_offset = offsetof(Exit, vectorcall);
    return t;
}();

// --- Alpaca's JSON ImageArray ------------------------------------------------
// The decimal text of an [x][y](...) image, written here because a general JSON library
// spends most of a full frame's time turning each pixel into digits one call at a time.

constexpr char pairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

inline char* put_decimal(char* p, unsigned v) {
    if (v < 10) {
        *p = static_cast<char>('0' + v);
        return p + 1;
    }
    if (v < 100) {
        std::memcpy(p, pairs + 2 * v, 2);
        return p + 2;
    }
    if (v < 1000) {
        *p = static_cast<char>('0' + v / 100);
        std::memcpy(p + 1, pairs + 2 * (v % 100), 2);
        return p + 3;
    }
    if (v >= 10000) {
        *p++ = static_cast<char>('0' + v / 10000);
        v %= 10000;
    }
    std::memcpy(p, pairs + 2 * (v / 100), 2);
    std::memcpy(p + 2, pairs + 2 * (v % 100), 2);
    return p + 4;
}

template <typename Pixel>
char* put_columns(char* p, const Pixel* pixels, Py_ssize_t start, Py_ssize_t stop, Py_ssize_t height,
                  Py_ssize_t planes, bool nested) {
    const Py_ssize_t per_column = height * planes;
    for (Py_ssize_t x = start; x < stop; ++x) {
        if (x != start) *p++ = ',';
        *p++ = '[';
        const Pixel* q = pixels + x * per_column;
        for (Py_ssize_t y = 0; y < height; ++y) {
            if (y) *p++ = ',';
            if (nested) *p++ = '[';
            for (Py_ssize_t k = 0; k < planes; ++k) {
                if (k) *p++ = ',';
                p = put_decimal(p, *q++);
            }
            if (nested) *p++ = ']';
        }
        *p++ = ']';
    }
    return p;
}

// Whether the view holds 2 or 3 dimensions of little-endian uint8 or uint16; 1 for uint16,
// 0 for uint8, -1 with ValueError set otherwise.
int json_pixels(const Py_buffer& view, const char* function) {
    const char* format = view.format ? view.format : "B";
    if (*format == '<' || *format == '=') ++format;
    const bool wide = format[0] == 'H' && format[1] == '\0' && view.itemsize == 2;
    if (!(wide || (format[0] == 'B' && format[1] == '\0' && view.itemsize == 1)) || (view.ndim != 2 && view.ndim != 3)) {
        PyErr_Format(PyExc_ValueError, "%s() takes a 2- or 3-dimensional uint8 or uint16 array, "
                     "not %d dimensions of '%s'", function, view.ndim, view.format ? view.format : "B");
        return -1;
    }
    return wide ? 1 : 0;
}

template <typename Pixel>
Py_ssize_t count_digits(const Pixel* p, Py_ssize_t n) {
    // In blocks whose count fits 16 bits (at most 4 extra digits a sample), so that the
    // compiler keeps the sums in vector lanes of the pixels' own width.
    constexpr Py_ssize_t block = 8192;
    Py_ssize_t digits = n;
    for (Py_ssize_t start = 0; start < n; start += block) {
        const Py_ssize_t stop = start + block < n ? start + block : n;
        unsigned short extra = 0;
        for (Py_ssize_t i = start; i < stop; ++i) {
            const unsigned short v = p[i];
            extra = static_cast<unsigned short>(extra + (v >= 10) + (v >= 100) + (v >= 1000) + (v >= 10000));
        }
        digits += extra;
    }
    return digits;
}

PyObject* json_length(PyObject*, PyObject* image) {
    Py_buffer view;
    if (PyObject_GetBuffer(image, &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return nullptr;
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    const int wide = json_pixels(view, "json_length");
    if (wide < 0) return nullptr;
    const Py_ssize_t width = view.shape[0], height = view.shape[1], planes = view.ndim == 3 ? view.shape[2] : 1;
    const Py_ssize_t samples = width * height * planes;
    if (samples == 0) return PyLong_FromSsize_t(2);
    Py_ssize_t digits;
    Py_BEGIN_ALLOW_THREADS
    digits = wide ? count_digits(static_cast<const unsigned short*>(view.buf), samples)
                  : count_digits(static_cast<const unsigned char*>(view.buf), samples);
    Py_END_ALLOW_THREADS
    // Brackets and commas: the outer list's, each column's and, for colour, each pixel's.
    const Py_ssize_t pixel = view.ndim == 3 ? planes + 1 : 0;
    return PyLong_FromSsize_t(2 + (width - 1) + width * (2 + (height - 1) + height * pixel) + digits);
}

PyObject* json_columns(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 3) {
        PyErr_Format(PyExc_TypeError, "json_columns() takes 3 arguments (%zd given)", nargs);
        return nullptr;
    }
    Py_ssize_t start = PyLong_AsSsize_t(args[1]);
    if (start == -1 && PyErr_Occurred()) return nullptr;
    Py_ssize_t stop = PyLong_AsSsize_t(args[2]);
    if (stop == -1 && PyErr_Occurred()) return nullptr;
    Py_buffer view;
    if (PyObject_GetBuffer(args[0], &view, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) < 0) return nullptr;
    struct Release {
        Py_buffer* v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    // Little-endian 'B' or 'H' only: the pixels are read as this machine's words.
    const int kind = json_pixels(view, "json_columns");
    if (kind < 0) return nullptr;
    const bool wide = kind == 1;
    const Py_ssize_t width = view.shape[0], height = view.shape[1], planes = view.ndim == 3 ? view.shape[2] : 1;
    if (start < 0 || stop > width || start >= stop) {
        PyErr_Format(PyExc_ValueError, "json_columns() columns %zd..%zd outside 0..%zd", start, stop, width);
        return nullptr;
    }
    // At most 5 digits and a comma per sample, brackets and a comma per pixel and per column.
    const Py_ssize_t columns = stop - start;
    const Py_ssize_t most = columns * (height * (planes * 6 + (view.ndim == 3 ? 3 : 0)) + 3) + 2;
    PyObject* text = PyBytes_FromStringAndSize(nullptr, most);
    if (!text) return nullptr;
    char* begin = PyBytes_AS_STRING(text);
    char* end = begin;
    // The piece's place in the whole list: it opens the list or follows a piece, and may close it.
    *end++ = start == 0 ? '[' : ',';
    Py_BEGIN_ALLOW_THREADS
    end = wide ? put_columns(end, static_cast<const unsigned short*>(view.buf), start, stop, height, planes, view.ndim == 3)
               : put_columns(end, static_cast<const unsigned char*>(view.buf), start, stop, height, planes, view.ndim == 3);
    Py_END_ALLOW_THREADS
    if (stop == width) *end++ = ']';
    if (_PyBytes_Resize(&text, end - begin) < 0) return nullptr;
    return text;
}

// ---------------------------------------------------------------------------
// The stacker's per-pixel work: Lanczos-4 resampling onto the reference grid and
// the running, outlier-rejecting mean. Numpy would need 36 gathers per pixel for
// the resampling, several seconds a full frame; here it is one pass in the cache.

// A float32 (or uint32) C-contiguous buffer, released on every path.
class Floats {
public:
    Floats() = default;
    Floats(const Floats&) = delete;
    Floats& operator=(const Floats&) = delete;
    ~Floats() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool get(PyObject* object, const char* function, const char* what, char code, bool writable) {
        if (PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS | PyBUF_FORMAT | (writable ? PyBUF_WRITABLE : 0)) < 0)
            return false;
        held_ = true;
        const char* format = view_.format ? view_.format : "B";
        if (*format == '<' || *format == '=' || *format == '@') ++format;
        const bool ok = code == 'f' ? (format[0] == 'f' && view_.itemsize == 4)
                                    : ((format[0] == 'I' || format[0] == 'L') && view_.itemsize == 4);
        if (!ok || format[1] != '\0') {
            PyErr_Format(PyExc_ValueError, "%s(): %s must be %s", function, what, code == 'f' ? "float32" : "uint32");
            return false;
        }
        return true;
    }
    Py_ssize_t size() const { return view_.len / 4; }
    Py_ssize_t dim(int i) const { return i < view_.ndim ? view_.shape[i] : 1; }
    int ndim() const { return view_.ndim; }
    float* f() const { return static_cast<float*>(view_.buf); }
    unsigned* u() const { return static_cast<unsigned*>(view_.buf); }

private:
    Py_buffer view_{};
    bool held_ = false;
};

constexpr int kPhases = 1024;  // sub-pixel positions the Lanczos weights are tabulated at
constexpr int kLobes = 4;      // Lanczos-4: Lanczos-3 widened the stars 6%, this 4%
constexpr int kTaps = 2 * kLobes;

// The Lanczos weights of each phase (fraction of a pixel), normalised to sum 1 so that
// a flat background stays flat.
const float* lanczos_table() {
    static const std::vector<float> table = [] {
        std::vector<float> t((kPhases + 1) * kTaps);
        const auto kernel = [](double x) {
            if (std::fabs(x) < 1e-9) return 1.0;
            if (std::fabs(x) >= kLobes) return 0.0;
            const double px = M_PI * x;
            return kLobes * std::sin(px) * std::sin(px / kLobes) / (px * px);
        };
        for (int p = 0; p <= kPhases; ++p) {
            const double f = static_cast<double>(p) / kPhases;
            double sum = 0.0, w[kTaps];
            for (int k = 0; k < kTaps; ++k) sum += (w[k] = kernel(f - (k - (kLobes - 1))));
            for (int k = 0; k < kTaps; ++k) t[p * kTaps + k] = static_cast<float>(w[k] / sum);
        }
        return t;
    }();
    return table.data();
}

bool parse_double(PyObject* object, double& out) {
    out = PyFloat_AsDouble(object);
    return !(out == -1.0 && PyErr_Occurred());
}

// The work split between this thread and one more, for the second core: f(begin, end,
// worker) over [0, n); all of it here when no thread can start.
constexpr int kWorkers = 2;

template <typename F>
void in_halves(long n, const F& f) {
    const long half = (n + 1) / 2;
    std::thread other;
    try {
        other = std::thread([&] { f(half, n, 1); });
    } catch (const std::system_error&) {
        f(0, n, 0);
        return;
    }
    f(0, half, 0);
    other.join();
}

// lanczos_warp(image, cos, sin, dx, dy, out): the reference grid (out's shape) resampled
// from image; NaN where the frame does not reach. Reference (x, y) is frame
// (sx, sy) = (c(x-dx) + s(y-dy), c(y-dy) - s(x-dx)). Two one-dimensional passes of kTaps
// taps instead of one of kTaps squared: along each frame row j to where the output columns' lines
// cross it (sx = (x-dx)/c + j s/c), then down each output column. Within a short run the
// sub-pixel phase is taken as constant (off by at most kPhaseSlip of a pixel), so the
// weights are looked up once per run and the taps vectorise.
constexpr double kPhaseSlip = 0.002;

long run_length(double step, long most) {
    const double slip = std::fabs(step - 1.0);
    return slip * most <= kPhaseSlip ? most : std::max(1L, static_cast<long>(kPhaseSlip / slip));
}

PyObject* lanczos_warp(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6) {
        PyErr_Format(PyExc_TypeError, "lanczos_warp() takes 6 arguments (%zd given)", nargs);
        return nullptr;
    }
    double c, s, dx, dy;
    if (!parse_double(args[1], c) || !parse_double(args[2], s) || !parse_double(args[3], dx) ||
        !parse_double(args[4], dy))
        return nullptr;
    Floats image, out;
    if (!image.get(args[0], "lanczos_warp", "image", 'f', false) || !out.get(args[5], "lanczos_warp", "out", 'f', true))
        return nullptr;
    if (image.ndim() != 2 || out.ndim() != 2 || image.size() == 0 || !(c > 0.5) ||
        !(std::fabs(c * c + s * s - 1.0) < 1e-6) || !(std::fabs(dx) < 1e6 && std::fabs(dy) < 1e6)) {
        PyErr_SetString(PyExc_ValueError, "lanczos_warp(): image and out must be 2-dimensional, image not empty, "
                                          "the rotation under 60 degrees and the shift finite");
        return nullptr;
    }
    const long h0 = static_cast<long>(image.dim(0)), w0 = static_cast<long>(image.dim(1));
    const long h = static_cast<long>(out.dim(0)), w = static_cast<long>(out.dim(1));
    const float* src = image.f();
    float* dst = out.f();
    const float* table = lanczos_table();
    std::unique_ptr<float[]> across;
    // Per half of the output: kTaps rows of w, each output column's weights, and its first tap.
    std::vector<float> weights_of[kWorkers];
    std::vector<long> first_of[kWorkers];
    try {
        across.reset(new float[static_cast<std::size_t>(h0) * w]);   // every element written before it is read
        for (int k = 0; k < kWorkers; ++k) {
            weights_of[k].resize(kTaps * static_cast<std::size_t>(w));
            first_of[k].resize(w);
        }
    } catch (const std::bad_alloc&) {
        return PyErr_NoMemory();
    }
    float* a = across.get();
    // The weights for a position and the first of its taps.
    const auto taps = [table](double pos, long& tap) {
        const double f = std::floor(pos);
        tap = static_cast<long>(f) - (kLobes - 1);
        return table + static_cast<int>((pos - f) * kPhases + 0.5) * kTaps;
    };
    const double inv_c = 1.0 / c, tangent = s / c;
    const long run = run_length(inv_c, 64), block = run_length(c, 32);
    const auto across_rows = [&](long j0, long j1, int) {
    for (long j = j0; j < j1; ++j) {
        const float* row = src + j * w0;
        float* arow = a + j * w;
        for (long x0 = 0; x0 < w; x0 += run) {
            const long x1 = std::min(w, x0 + run), mid = (x0 + x1) / 2;
            long tap;
            const float* wx = taps((static_cast<double>(mid) - dx) * inv_c + static_cast<double>(j) * tangent, tap);
            tap -= mid;   // the first tap of pixel x is x + tap
            if (x0 + tap >= 0 && x1 - 1 + tap + kTaps - 1 < w0) {
                const float* p = row + tap;
                float k[kTaps];
                std::copy(wx, wx + kTaps, k);
                for (long x = x0; x < x1; ++x) {
                    float sum = 0.0f;
                    for (int m = 0; m < kTaps; ++m) sum += k[m] * p[x + m];
                    arow[x] = sum;
                }
            } else {  // near the edge the border samples repeat
                for (long x = x0; x < x1; ++x) {
                    float sum = 0.0f;
                    for (int m = 0; m < kTaps; ++m) sum += wx[m] * row[std::clamp(x + tap + m, 0L, w0 - 1)];
                    arow[x] = sum;
                }
            }
        }
    }
    };
    const auto down_columns = [&](long b0, long b1, int worker) {
    std::vector<float>& column_weights = weights_of[worker];
    std::vector<long>& first = first_of[worker];
    for (long y0 = b0 * block; y0 < std::min(h, b1 * block); y0 += block) {
        const long y1 = std::min(h, y0 + block), mid = (y0 + y1) / 2;
        for (long x = 0; x < w; ++x) {
            const float* wy = taps(c * (static_cast<double>(mid) - dy) - s * (static_cast<double>(x) - dx), first[x]);
            for (int k = 0; k < kTaps; ++k) column_weights[k * w + x] = wy[k];
            first[x] -= mid;   // the first tap of row y is y + first[x]
        }
        for (long y = y0; y < y1; ++y) {
            float* orow = dst + y * w;
            // Runs of columns whose taps start on the same row of `across`: kTaps streams each.
            for (long x0 = 0; x0 < w;) {
                long x1 = x0 + 1;
                while (x1 < w && first[x1] == first[x0]) ++x1;
                const long i = y + first[x0];
                if (i >= 0 && i + kTaps - 1 < h0) {
                    const float* p = a + i * w;
                    const float* q = column_weights.data();
                    for (long x = x0; x < x1; ++x) orow[x] = 0.0f;
                    for (int k = 0; k < kTaps; ++k, p += w, q += w)
                        for (long x = x0; x < x1; ++x) orow[x] += q[x] * p[x];
                } else {
                    for (long x = x0; x < x1; ++x) {
                        float value = 0.0f;
                        for (int k = 0; k < kTaps; ++k)
                            value += column_weights[k * w + x] * a[std::clamp(i + k, 0L, h0 - 1) * w + x];
                        orow[x] = value;
                    }
                }
                x0 = x1;
            }
            // Clamped from below to the four nearest samples, so that hot pixels and bright stars
            // do not ring into dark halos; a peak between samples may rise above them, as the
            // star's did. NaN where the frame does not reach.
            const double ys = static_cast<double>(y) - dy;
            const float sx0 = static_cast<float>(s * ys - c * dx), sy0 = static_cast<float>(c * ys + s * dx);
            const float fc = static_cast<float>(c), fs = static_cast<float>(s);
            const float right = static_cast<float>(w0) - 0.5f, bottom = static_cast<float>(h0) - 0.5f;
            for (long x = 0; x < w; ++x) {
                const float sx = sx0 + fc * static_cast<float>(x), sy = sy0 - fs * static_cast<float>(x);
                if (!(sx >= -0.5f && sx < right && sy >= -0.5f && sy < bottom)) {
                    orow[x] = NAN;
                    continue;
                }
                const int ix = static_cast<int>(sx + 1.0f) - 1, iy = static_cast<int>(sy + 1.0f) - 1;
                const long xa = std::max(ix, 0), xb = std::min<long>(ix + 1, w0 - 1);
                const long ya = std::max(iy, 0), yb = std::min<long>(iy + 1, h0 - 1);
                const float* pa = src + ya * w0;
                const float* pb = src + yb * w0;
                const float lo = std::min(std::min(pa[xa], pa[xb]), std::min(pb[xa], pb[xb]));
                orow[x] = std::max(orow[x], lo);
            }
        }
    }
    };
    Py_BEGIN_ALLOW_THREADS
    in_halves(h0, across_rows);
    in_halves((h + block - 1) / block, down_columns);
    Py_END_ALLOW_THREADS
    Py_RETURN_NONE;
}

// Welford's update of one pixel with a value; false when kappa-sigma rejects it.
inline bool welford(float v, float& mean, float& m2, unsigned& n, float kappa2, float floor_var) {
    if (kappa2 > 0.0f && n >= 2) {
        const float var = std::max(m2 / static_cast<float>(n - 1), floor_var);
        const float d = v - mean;
        if (d * d > kappa2 * var) return false;
    }
    ++n;
    const float d = v - mean;
    mean += d / static_cast<float>(n);
    m2 += d * (v - mean);
    return true;
}

bool same_sizes(const Floats& a, const Floats& b, const Floats& c, const Floats& d, const char* function) {
    if (a.size() != b.size() || a.size() != c.size() || a.size() != d.size()) {
        PyErr_Format(PyExc_ValueError, "%s(): the arrays differ in size", function);
        return false;
    }
    return true;
}

// running_update(values, mean, m2, count, kappa, floor_var) -> rejected: each finite value
// added to its pixel's running mean and sum of squared deviations, unless it lies more than
// kappa standard deviations (at least sqrt(floor_var)) from the mean; kappa <= 0 keeps all.
PyObject* running_update(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6) {
        PyErr_Format(PyExc_TypeError, "running_update() takes 6 arguments (%zd given)", nargs);
        return nullptr;
    }
    double kappa, floor_var;
    if (!parse_double(args[4], kappa) || !parse_double(args[5], floor_var)) return nullptr;
    Floats values, mean, m2, count;
    if (!values.get(args[0], "running_update", "values", 'f', false) ||
        !mean.get(args[1], "running_update", "mean", 'f', true) || !m2.get(args[2], "running_update", "m2", 'f', true) ||
        !count.get(args[3], "running_update", "count", 'u', true) || !same_sizes(values, mean, m2, count, "running_update"))
        return nullptr;
    const Py_ssize_t n = values.size();
    const float k2 = kappa > 0 ? static_cast<float>(kappa * kappa) : 0.0f, fv = static_cast<float>(floor_var);
    const float* v = values.f();
    float *mu = mean.f(), *s2 = m2.f();
    unsigned* cnt = count.u();
    Py_ssize_t rejected = 0;
    Py_BEGIN_ALLOW_THREADS
    for (Py_ssize_t i = 0; i < n; ++i)
        if (v[i] == v[i] && !welford(v[i], mu[i], s2[i], cnt[i], k2, fv)) ++rejected;
    Py_END_ALLOW_THREADS
    return PyLong_FromSsize_t(rejected);
}

// Sorts a few values; five, the usual count, by a network without branches (the values
// are noise, so a branch would be mispredicted half the time).
inline void sort_few(float* v, int n) {
    const auto swap = [v](int a, int b) {
        const float lo = std::min(v[a], v[b]), hi = std::max(v[a], v[b]);
        v[a] = lo;
        v[b] = hi;
    };
    if (n == 5) {
        swap(0, 1), swap(3, 4), swap(2, 4), swap(2, 3), swap(0, 3), swap(0, 2), swap(1, 4), swap(1, 3), swap(1, 2);
    } else {
        std::sort(v, v + n);
    }
}

// robust_start(buffer, mean, m2, count, kappa, floor_var) -> rejected: the running state
// begun from the first frames (buffer: frames x pixels, NaN where a frame did not reach):
// per pixel the values within kappa robust deviations (1.4826 x the median absolute
// deviation, at least sqrt(floor_var)) of their median, so that a hot pixel or a satellite
// in one of the first frames does not set the level the later ones are judged by.
PyObject* robust_start(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 6) {
        PyErr_Format(PyExc_TypeError, "robust_start() takes 6 arguments (%zd given)", nargs);
        return nullptr;
    }
    double kappa, floor_var;
    if (!parse_double(args[4], kappa) || !parse_double(args[5], floor_var)) return nullptr;
    Floats buffer, mean, m2, count;
    if (!buffer.get(args[0], "robust_start", "buffer", 'f', false) || !mean.get(args[1], "robust_start", "mean", 'f', true) ||
        !m2.get(args[2], "robust_start", "m2", 'f', true) || !count.get(args[3], "robust_start", "count", 'u', true))
        return nullptr;
    const Py_ssize_t n = mean.size();
    constexpr Py_ssize_t kMost = 16;
    if (n == 0 || buffer.size() % n != 0 || buffer.size() / n > kMost || m2.size() != n || count.size() != n) {
        PyErr_SetString(PyExc_ValueError, "robust_start(): buffer must hold 1 to 16 frames of the state's size");
        return nullptr;
    }
    const Py_ssize_t frames = buffer.size() / n;
    const float* b = buffer.f();
    float *mu = mean.f(), *s2 = m2.f();
    unsigned* cnt = count.u();
    const float k2 = static_cast<float>(kappa * kappa), fv = static_cast<float>(floor_var);
    Py_ssize_t rejected = 0;
    Py_BEGIN_ALLOW_THREADS
    float vals[kMost], dev[kMost];
    for (Py_ssize_t i = 0; i < n; ++i) {
        int c = 0;
        for (Py_ssize_t f = 0; f < frames; ++f) {
            const float v = b[f * n + i];
            if (v == v) vals[c++] = v;
        }
        mu[i] = 0.0f;
        s2[i] = 0.0f;
        cnt[i] = 0;
        if (c == 0) continue;
        sort_few(vals, c);
        const float median = c % 2 ? vals[c / 2] : 0.5f * (vals[c / 2 - 1] + vals[c / 2]);
        for (int k = 0; k < c; ++k) dev[k] = std::fabs(vals[k] - median);
        sort_few(dev, c);
        const float mad = c % 2 ? dev[c / 2] : 0.5f * (dev[c / 2 - 1] + dev[c / 2]);
        const float limit = k2 * std::max(2.198f * mad * mad, fv);  // (1.4826 mad)^2
        for (int k = 0; k < c; ++k) {
            const float d = vals[k] - median;
            if (c >= 3 && d * d > limit) {
                ++rejected;
                continue;
            }
            welford(vals[k], mu[i], s2[i], cnt[i], 0.0f, 0.0f);
        }
    }
    Py_END_ALLOW_THREADS
    return PyLong_FromSsize_t(rejected);
}

PyMethodDef methods[] = {
    {"read_video_frame", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_video_frame)),
     METH_FASTCALL,
     "read_video_frame(camera_id, buffer, wait_ms, /)\n--\n\n"
     "Wait up to wait_ms milliseconds (-1: without limit) for the next video frame and write it\n"
     "into buffer, a writable C-contiguous buffer of exactly the size the camera's current region\n"
     "and format imply. The interpreter lock is released during the wait."},
    {"read_video_frame_gps", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(read_video_frame_gps)),
     METH_FASTCALL,
     "read_video_frame_gps(camera_id, buffer, wait_ms, /)\n--\n\n"
     "As read_video_frame, and return the GPS record the camera stamped on the frame\n"
     "(a new korvi.GpsData)."},
    {"copy_slots", copy_slots, METH_O,
     "copy_slots(obj, /)\n--\n\n"
     "A new instance of obj's type with every slot bound to the same object as in obj (unset\n"
     "slots stay unset), made without calling __new__ or __init__. obj's type must be a\n"
     "__slots__ class based directly on object, with no __dict__ or __weakref__."},
    {"json_length", json_length, METH_O,
     "json_length(image, /)\n--\n\n"
     "The length of the JSON text json_columns writes for the whole of image, counted without\n"
     "writing it."},
    {"json_columns", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(json_columns)), METH_FASTCALL,
     "json_columns(image, start, stop, /)\n--\n\n"
     "Columns start..stop (start < stop) of a C-contiguous [x][y] or [x][y][plane] uint8 or\n"
     "little-endian uint16 array as one piece of its JSON text: '[' for the first piece or ','\n"
     "after another, each column's nested list joined by commas, and ']' when the piece ends\n"
     "the array; the pieces joined are json.dumps(image.tolist(), separators=(',', ':'))."},
    {"lanczos_warp", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(lanczos_warp)), METH_FASTCALL,
     "lanczos_warp(image, cos, sin, dx, dy, out, /)\n--\n\n"
     "The reference grid (out's shape) resampled from image (2-D float32) by Lanczos-4, clamped\n"
     "from below to the four nearest samples; reference (x, y) is frame (cos*(x-dx) + sin*(y-dy),\n"
     "cos*(y-dy) - sin*(x-dx)). out (2-D float32) gets NaN where the frame does not reach."},
    {"running_update", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(running_update)), METH_FASTCALL,
     "running_update(values, mean, m2, count, kappa, floor_var, /)\n--\n\n"
     "Adds each finite value to its pixel's running mean (Welford), unless it lies over kappa\n"
     "standard deviations (at least sqrt(floor_var)) from it; returns how many were rejected."},
    {"robust_start", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(robust_start)), METH_FASTCALL,
     "robust_start(buffer, mean, m2, count, kappa, floor_var, /)\n--\n\n"
     "Begins the running state from the first frames (buffer: frames x pixels, NaN where a\n"
     "frame did not reach), keeping per pixel the values within kappa robust deviations of\n"
     "their median; returns how many were rejected."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vorrant.orlicam._frames",
    .m_doc = "The camera layer's video frame path: frames written into caller-owned buffers.",
    .m_size = -1,
    .m_methods = methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__frames() {
    if (!korvi) {
        Ref module(PyImport_ImportModule("vorrant.orlicam.korvi"));
        if (!module) return nullptr;
        Ref type(PyObject_GetAttrString(module.get(), "GpsData"));
        if (!type) return nullptr;
        // The record is written through its layout, so the type must be korvi's own.
        if (!PyType_Check(type.get()) ||
            reinterpret_cast<PyTypeObject*>(type.get())->tp_basicsize != static_cast<Py_ssize_t>(sizeof(GpsRecord))) {
            PyErr_SetString(PyExc_ImportError, "vorrant.orlicam.korvi.GpsData is not the record type");
            return nullptr;
        }
        handle_error_code = PyUnicode_InternFromString("handle_error_code");
        if (!handle_error_code) return nullptr;
        Ref builtins_module(PyImport_ImportModule("builtins"));
        if (!builtins_module) return nullptr;
        builtins = builtins_module.release();
        korvi_dict = Py_NewRef(PyModule_GetDict(module.get()));
        gps_type = reinterpret_cast<PyTypeObject*>(type.release());
        korvi = module.release();
    }
    if (!utc) {
        PyDateTime_IMPORT;
        if (!PyDateTimeAPI) return nullptr;
        utc = Py_NewRef(PyDateTime_TimeZone_UTC);
    }
    if (!changes_name) {
        changes_name = PyUnicode_InternFromString("_changes");
        flags_name = PyUnicode_InternFromString("flags");
        writeable_name = PyUnicode_InternFromString("writeable");
        if (!changes_name || !flags_name || !writeable_name) return nullptr;
    }
    if (!running_name) {
        running_name = PyUnicode_InternFromString("_running");
        step_name = PyUnicode_InternFromString("_step");
        count_name = PyUnicode_InternFromString("_count");
        step_count_name = PyUnicode_InternFromString("count");
        if (!running_name || !step_name || !count_name || !step_count_name) return nullptr;
    }
    if (PyType_Ready(&stamper_type) < 0 || PyType_Ready(&step_type) < 0 || PyType_Ready(&exit_type) < 0)
        return nullptr;
    Ref module(PyModule_Create(&definition));
    if (!module || PyModule_AddObjectRef(module.get(), "FrameStamper", reinterpret_cast<PyObject*>(&stamper_type)) < 0 ||
        PyModule_AddObjectRef(module.get(), "StreamStep", reinterpret_cast<PyObject*>(&step_type)) < 0 ||
        PyModule_AddObjectRef(module.get(), "StreamExit", reinterpret_cast<PyObject*>(&exit_type)) < 0)
        return nullptr;
    return module.release();
}
