"""Per-call cost of vorrant.orlicam.korvi against ctypes and a C floor.

Four calls, each made three ways on the simulated library installed beside the module:
  - korvi, the module itself;
  - ctypes on the same loaded library, doing the same work per call (check the code,
    read the out-values, build the result, raise the mapped class on failure);
  - the floor: a minimal METH_FASTCALL C extension compiled here, making the same SDK
    call and building the same kind of result the fastest honest way (the tuple, int and
    bool made directly, no format strings), with nothing else.
The calls: get_dropped_frames(0), get_control_value(0, ASI_GAIN) and
get_camera_property(0) on an open camera, and get_dropped_frames(0) on a closed one,
which raises ASICameraClosed (caught in the loop).

Time is the calling thread's CPU time (time.thread_time_ns), per call, including the
Python loop around it; the "loop only" row is that loop with no call. Every
implementation runs once per round, the rounds interleave them, and the table shows
the median of ROUNDS rounds and the spread (lowest to highest) of the per-round ratio
korvi/floor. Run with `make bench`; timings are printed, never asserted.
"""
import ctypes
import importlib.util
import os
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

from vorrant.orlicam import korvi, simulator
from vorrant.orlicam.korvi import ControlType

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PACKAGE_DIR = os.path.dirname(os.path.abspath(korvi.__file__))
LIBRARY = os.path.join(PACKAGE_DIR, "libASICamera2.so")

ROUNDS = 9
CALLS = 20_000
RAISING_CALLS = 5_000

FLOOR_SOURCE = r"""
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include "ASICamera2.h"

static PyObject *closed_error;  /* the class raised for every failure */

static int fail(int code) {
    PyErr_Format(closed_error, "ASI error code %d.", code);
    return -1;
}

static PyObject *set_error(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    Py_XSETREF(closed_error, Py_NewRef(args[0]));
    Py_RETURN_NONE;
}

static PyObject *dropped(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    int cam = PyLong_AsInt(args[0]), n = 0;
    int code = ASIGetDroppedFrames(cam, &n);
    if (code && fail(code)) return NULL;
    return PyLong_FromLong(n);
}

static PyObject *control_value(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    int cam = PyLong_AsInt(args[0]), type = PyLong_AsInt(args[1]);
    long value = 0;
    ASI_BOOL is_auto = ASI_FALSE;
    int code = ASIGetControlValue(cam, type, &value, &is_auto);
    if (code && fail(code)) return NULL;
    /* The tuple built directly: the cheapest honest way to hand back (value, auto). */
    PyObject *number = PyLong_FromLong(value);
    if (!number) return NULL;
    PyObject *pair = PyTuple_New(2);
    if (!pair) {
        Py_DECREF(number);
        return NULL;
    }
    PyTuple_SET_ITEM(pair, 0, number);
    PyTuple_SET_ITEM(pair, 1, PyBool_FromLong(is_auto));
    return pair;
}

static PyObject *camera_property(PyObject *self, PyObject *const *args, Py_ssize_t nargs) {
    int index = PyLong_AsInt(args[0]);
    PyObject *record = PyBytes_FromStringAndSize(NULL, sizeof(ASI_CAMERA_INFO));
    if (!record) return NULL;
    ASI_CAMERA_INFO *info = (ASI_CAMERA_INFO *)PyBytes_AS_STRING(record);
    memset(info, 0, sizeof *info);
    int code = ASIGetCameraProperty(info, index);
    if (code) {
        Py_DECREF(record);
        fail(code);
        return NULL;
    }
    return record;
}

static PyMethodDef methods[] = {
    {"set_error", (PyCFunction)(void (*)(void))set_error, METH_FASTCALL, NULL},
    {"dropped", (PyCFunction)(void (*)(void))dropped, METH_FASTCALL, NULL},
    {"control_value", (PyCFunction)(void (*)(void))control_value, METH_FASTCALL, NULL},
    {"camera_property", (PyCFunction)(void (*)(void))camera_property, METH_FASTCALL, NULL},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "callfloor", NULL, -1, methods};

PyMODINIT_FUNC PyInit_callfloor(void) { return PyModule_Create(&definition); }
"""


def build_floor(workdir):
    compiler = shutil.which("gcc") or shutil.which("cc")
    if compiler is None:
        sys.exit("bench: no C compiler (gcc) on PATH; it builds the C floor")
    source = os.path.join(workdir, "callfloor.c")
    with open(source, "w") as f:
        f.write(FLOOR_SOURCE)
    target = os.path.join(workdir, "callfloor" + sysconfig.get_config_var("EXT_SUFFIX"))
    subprocess.run([compiler, "-O2", "-shared", "-fPIC", "-I", sysconfig.get_paths()["include"],
                    "-I", os.path.join(ROOT, "src", "sdk"), source, "-o", target, LIBRARY,
                    f"-Wl,-rpath,{PACKAGE_DIR}"], check=True)
    location = importlib.util.spec_from_file_location("callfloor", target)
    module = importlib.util.module_from_spec(location)
    location.loader.exec_module(module)
    module.set_error(korvi.ASICameraClosed)
    return module


def ctypes_functions():
    # The same loaded library: ctypes.CDLL hands back the instance the module linked.
    lib = ctypes.CDLL(LIBRARY)
    c_int, c_long, byref, POINTER = ctypes.c_int, ctypes.c_long, ctypes.byref, ctypes.POINTER
    lib.ASIGetDroppedFrames.argtypes = [c_int, POINTER(c_int)]
    lib.ASIGetControlValue.argtypes = [c_int, c_int, POINTER(c_long), POINTER(c_int)]
    lib.ASIGetCameraProperty.argtypes = [POINTER(simulator.CameraInfo), c_int]
    for fn in (lib.ASIGetDroppedFrames, lib.ASIGetControlValue, lib.ASIGetCameraProperty):
        fn.restype = c_int
    table = korvi.ASI_ERROR_CODE_TO_EXCEPTION
    dropped_fn, control_fn, property_fn = lib.ASIGetDroppedFrames, lib.ASIGetControlValue, lib.ASIGetCameraProperty
    CameraInfo = simulator.CameraInfo

    def raise_for(code):
        raise table[code](f"ASI error code {code}.")

    def dropped(cam):
        n = c_int()
        if code := dropped_fn(cam, byref(n)):
            raise_for(code)
        return n.value

    def control_value(cam, control):
        value, is_auto = c_long(), c_int()
        if code := control_fn(cam, control, byref(value), byref(is_auto)):
            raise_for(code)
        return value.value, bool(is_auto.value)

    def camera_property(index):
        info = CameraInfo()
        if code := property_fn(byref(info), index):
            raise_for(code)
        return info

    return dropped, control_value, camera_property


def timed(loop, calls):
    t0 = time.thread_time_ns()
    loop(calls)
    return (time.thread_time_ns() - t0) / calls


def plain_loop(fn, *args):
    def loop(n):
        for _ in range(n):
            fn(*args)
    return loop


def raising_loop(fn, *args):
    def loop(n):
        for _ in range(n):
            try:
                fn(*args)
            except korvi.ASICameraClosed:
                pass
    return loop


def empty_loop(n):
    for _ in range(n):
        pass


def main():
    if not os.path.exists(LIBRARY):
        sys.exit(f"bench: no simulated libASICamera2.so beside the module ({LIBRARY})")
    simulator.reset()
    gain = ControlType.ASI_GAIN
    with tempfile.TemporaryDirectory(prefix="orlicam-calls-") as workdir:
        floor = build_floor(workdir)
    c_dropped, c_control, c_property = ctypes_functions()
    cam = korvi.get_camera_property(0).camera_id
    closed = korvi.get_camera_property(1).camera_id  # stays closed

    rows = [
        ("get_dropped_frames(0)", CALLS, plain_loop,
         {"korvi": (korvi.get_dropped_frames, cam), "ctypes": (c_dropped, cam), "floor": (floor.dropped, cam)}),
        ("get_control_value(0, ASI_GAIN)", CALLS, plain_loop,
         {"korvi": (korvi.get_control_value, cam, gain), "ctypes": (c_control, cam, int(gain)),
          "floor": (floor.control_value, cam, int(gain))}),
        ("get_camera_property(0)", CALLS, plain_loop,
         {"korvi": (korvi.get_camera_property, 0), "ctypes": (c_property, 0), "floor": (floor.camera_property, 0)}),
        ("raising ASICameraClosed", RAISING_CALLS, raising_loop,
         {"korvi": (korvi.get_dropped_frames, closed), "ctypes": (c_dropped, closed),
          "floor": (floor.dropped, closed)}),
    ]
    korvi.open_camera(cam)
    samples = {(label, side): [] for label, _, _, sides in rows for side in sides}
    samples[("loop only", "korvi")] = []
    for _ in range(ROUNDS):
        samples[("loop only", "korvi")].append(timed(empty_loop, CALLS))
        for label, calls, make, sides in rows:
            for side, (fn, *args) in sides.items():
                samples[(label, side)].append(timed(make(fn, *args), calls))
    korvi.close_camera(cam)

    median = {key: statistics.median(values) for key, values in samples.items()}
    print(f"Per call, thread CPU ns (median of {ROUNDS} interleaved rounds; the Python loop included)")
    head = (f"{'call':<34}{'korvi':>9}{'ctypes':>9}{'C floor':>9}{'korvi/floor':>13}{'spread':>13}"
            f"{'ctypes/korvi':>14}")
    print(head)
    print("-" * len(head))
    for label, _, _, _ in rows:
        k, c, f = (median[(label, side)] for side in ("korvi", "ctypes", "floor"))
        ratios = [a / b for a, b in zip(samples[(label, "korvi")], samples[(label, "floor")])]
        spread = f"{min(ratios):.2f}-{max(ratios):.2f}"
        print(f"{label:<34}{k:>9.0f}{c:>9.0f}{f:>9.0f}{k / f:>13.2f}{spread:>13}{c / k:>14.1f}")
    print(f"{'loop only':<34}{median[('loop only', 'korvi')]:>9.0f}")
    print("targets: cheap calls korvi/floor <= 2.0 and ctypes/korvi >= 8; the raising call korvi/floor <= 2.5")
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"({os.cpu_count()} CPUs, load average {load})")


if __name__ == "__main__":
    main()
