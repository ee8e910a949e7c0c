// The five record types: an object header followed by the SDK record by value.
// Everything shared (allocation, __init__, the pickling refusal, the property
// plumbing and scalar fields) is written once; each type lists its properties.
#include "bridge.hpp"

#include <cstring>
#include <string>

namespace korvi {

namespace {

// ------------------------------------------------------------ per-type facts

template <typename Obj>
struct Record;

// Entry names and the pickling refusal of one type, plus access to its record.
#define KORVI_RECORD(Obj, type_name, member)                                                              \
    template <>                                                                                            \
    struct Record<Obj> {                                                                                   \
        static constexpr const char* qualname = "vorrant.orlicam.korvi." type_name;                       \
        static constexpr const char* init_entry = "vorrant.orlicam.korvi." type_name ".__init__";         \
        static constexpr const char* reduce_entry = "vorrant.orlicam.korvi." type_name ".__reduce__";     \
        static constexpr const char* setstate_entry = "vorrant.orlicam.korvi." type_name ".__setstate__"; \
        static constexpr const char* pickling =                                                           \
            "Pickling of struct members such as self." #member                                             \
            " must be explicitly requested with @auto_pickle(True)";                                       \
        static auto& of(PyObject* self) { return reinterpret_cast<Obj*>(self)->member; }                  \
    };

KORVI_RECORD(CameraInfoObject, "CameraInfo", c_info)
KORVI_RECORD(ControlCapsObject, "ControlCaps", control_caps)
KORVI_RECORD(IdObject, "Id", c_id)
KORVI_RECORD(SupportedModeObject, "SupportedMode", c_supported_mode)
KORVI_RECORD(GpsDataObject, "GpsData", c_gps_data)
#undef KORVI_RECORD

// Objects made once when the types are readied.
PyObject* fromhex_name = nullptr;  // "fromhex"
PyObject* nul_text = nullptr;      // "\x00"
PyObject* errors_kwnames = nullptr;  // ("errors",)

// --------------------------------------------------- allocation and __init__

PyObject* record_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    // object.__new__ refuses abstract subclasses with the interpreter's message.
    if (type->tp_flags & Py_TPFLAGS_IS_ABSTRACT) return PyBaseObject_Type.tp_new(type, args, kwargs);
    return type->tp_alloc(type, 0);  // zero-filled: a fresh record is all zeros
}

template <typename Obj>
int record_init(PyObject* self, PyObject* args, PyObject* kwargs) {
    return traced(Record<Obj>::init_entry, -1, [&] {
        if (!Binder::bind_init(args, kwargs)) return fail_status();
        auto& record = Record<Obj>::of(self);
        std::memset(&record, 0, sizeof record);
        return 0;
    });
}

// ------------------------------------------------------------------- pickling

// The records hold raw SDK memory; copying them through pickle is refused.
Signature reduce_signature("__reduce__", {});
// The binder passes an Enum parameter through untouched, as `state` needs.
Signature setstate_signature("__setstate__", {Param{"state", Kind::Enum, nullptr, nullptr}});

template <typename Obj>
PyObject* refuse_pickling(const Signature& sig, const char* entry, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
    return traced(entry, static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        Bound bound;
        if (!Binder::bind(sig, args, nargs, kwnames, bound)) return fail();
        PyErr_SetString(PyExc_TypeError, Record<Obj>::pickling);
        return fail();
    });
}

template <typename Obj>
PyObject* record_reduce(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return refuse_pickling<Obj>(reduce_signature, Record<Obj>::reduce_entry, args, nargs, kwnames);
}

template <typename Obj>
PyObject* record_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return refuse_pickling<Obj>(setstate_signature, Record<Obj>::setstate_entry, args, nargs, kwnames);
}

template <typename F>
PyCFunction as_cfunction(F* f) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

template <typename Obj>
PyMethodDef record_methods[] = {
    {"__reduce__", as_cfunction(record_reduce<Obj>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"__setstate__", as_cfunction(record_setstate<Obj>), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ----------------------------------------------------------------- properties

// How a property reads its field: plain scalars straight from the record by
// offset, everything else through its own function.
enum class Field { Custom, Int, Long, Bool, Double, Float, IntCall };

struct Property {
    const char* name;
    Field field;
    std::size_t offset;                           // of a scalar, from the object's start
    PyObject* (*get)(PyObject* self);             // Field::Custom
    int (*set)(PyObject* self, PyObject* value);  // null: read-only
    std::string get_entry;                        // filled when the type is readied
    std::string set_entry;
};

Property scalar(const char* name, Field field, std::size_t offset) {
    return Property{name, field, offset, nullptr, nullptr, {}, {}};
}

Property custom(const char* name, PyObject* (*get)(PyObject*), int (*set)(PyObject*, PyObject*) = nullptr) {
    return Property{name, Field::Custom, 0, get, set, {}, {}};
}

template <typename T>
T read_at(PyObject* self, std::size_t offset) {
    T v;
    std::memcpy(&v, reinterpret_cast<const char*>(self) + offset, sizeof v);
    return v;
}

PyObject* read_scalar(PyObject* self, const Property& p) {
    PyObject* r = nullptr;
    switch (p.field) {
    case Field::Int: r = PyLong_FromLong(read_at<int>(self, p.offset)); break;
    case Field::Long: r = PyLong_FromLong(read_at<long>(self, p.offset)); break;
    case Field::Bool: r = PyBool_FromLong(read_at<int>(self, p.offset) != 0); break;
    case Field::Double: r = PyFloat_FromDouble(read_at<double>(self, p.offset)); break;
    case Field::Float: r = PyFloat_FromDouble(static_cast<double>(read_at<float>(self, p.offset))); break;
    case Field::IntCall: {
        // Goes through the int type itself, as the field's declared conversion does.
        Ref value(PyLong_FromLong(read_at<int>(self, p.offset)));
        if (!value) return fail();
        r = PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyLong_Type), value.get());
        break;
    }
    case Field::Custom: r = p.get(self); break;
    }
    if (!r) return fail();
    return r;
}

PyObject* property_get(PyObject* self, void* closure) {
    const Property& p = *static_cast<const Property*>(closure);
    return traced(p.get_entry.c_str(), static_cast<PyObject*>(nullptr), [&] { return read_scalar(self, p); });
}

int property_set(PyObject* self, PyObject* value, void* closure) {
    const Property& p = *static_cast<const Property*>(closure);
    return traced(p.set_entry.c_str(), -1, [&] { return p.set(self, value); });
}

// A type's properties and the getset table made from them.
template <std::size_t N>
struct Properties {
    Property rows[N];
    PyGetSetDef defs[N + 1] = {};

    PyGetSetDef* ready(const char* qualname) {
        for (std::size_t i = 0; i < N; ++i) {
            Property& p = rows[i];
            p.get_entry = std::string(qualname) + "." + p.name + ".__get__";
            p.set_entry = std::string(qualname) + "." + p.name + ".__set__";
            defs[i] = PyGetSetDef{p.name, property_get, p.set ? property_set : nullptr, nullptr, &p};
        }
        return defs;
    }
};
template <typename... P>
Properties(P...) -> Properties<sizeof...(P)>;

int refuse_deletion() {
    PyErr_SetString(PyExc_NotImplementedError, "__del__");
    return fail_status();
}

// Bytes of a fixed text field up to the first zero byte, never past the field.
template <std::size_t N>
Py_ssize_t text_length(const char (&field)[N]) {
    const void* nul = std::memchr(field, 0, N);
    return nul ? static_cast<const char*>(nul) - field : static_cast<Py_ssize_t>(N);
}

// ---------------------------------------------------------------- CameraInfo

#define KORVI_AT(Obj, member, field) (offsetof(Obj, member) + offsetof(decltype(Obj::member), field))

const ASI_CAMERA_INFO& camera_info(PyObject* self) { return Record<CameraInfoObject>::of(self); }

PyObject* camera_name_get(PyObject* self) {
    const ASI_CAMERA_INFO& info = camera_info(self);
    Py_ssize_t n = text_length(info.Name);
    PyObject* r = n == 0 ? PyUnicode_FromStringAndSize(nullptr, 0) : PyUnicode_DecodeUTF8(info.Name, n, "strict");
    if (!r) return fail();
    return r;
}

void array_count_error(Py_ssize_t expected, Py_ssize_t got) {
    if (got >= expected)
        PyErr_Format(PyExc_IndexError, "too many values found during array assignment, expected %zd", expected);
    else
        PyErr_Format(PyExc_IndexError,
                     "not enough values found during array assignment, expected %zd, got %zd", expected, got);
}

// Fills `out[0..length)` from the items of `o`; exactly `length` items are
// required. Has its own traceback entry beneath the caller's.
bool carray_from_py_char(PyObject* o, signed char* out, Py_ssize_t length) {
    return traced("vorrant.orlicam.korvi.carray_from_py_char", false, [&] {
        Py_ssize_t size = PyObject_Length(o);
        if (size < 0) {
            // No usable length: count the items while converting them.
            if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError))
                return failed();
            PyErr_Clear();
        } else if (size != length) {
            array_count_error(length, size);
            return failed();
        }
        Py_ssize_t i = 0;
        if (PyList_CheckExact(o) || PyTuple_CheckExact(o)) {
            // By index, re-reading the size: a conversion may change a list.
            for (;; ++i) {
                Py_ssize_t n = PyList_CheckExact(o) ? PyList_GET_SIZE(o) : PyTuple_GET_SIZE(o);
                if (i >= n) break;
                if (i >= length) {
                    array_count_error(length, length);
                    return failed();
                }
                Ref item = Ref::borrow(PyList_CheckExact(o) ? PyList_GET_ITEM(o, i) : PyTuple_GET_ITEM(o, i));
                if (!as_schar(item.get(), out[i])) return failed();
            }
        } else {
            Ref it(PyObject_GetIter(o));
            if (!it) return failed();
            for (;; ++i) {
                Ref item(PyIter_Next(it.get()));
                if (!item) {
                    if (PyErr_Occurred()) return failed();
                    break;
                }
                if (i >= length) {
                    array_count_error(length, length);
                    return failed();
                }
                if (!as_schar(item.get(), out[i])) return failed();
            }
        }
        if (i != length) {
            array_count_error(length, i);
            return failed();
        }
        return true;
    });
}

int camera_name_set(PyObject* self, PyObject* value) {
    if (!value) return refuse_deletion();
    // No type test: whatever has an `encode` method is accepted.
    Ref encoded(PyObject_CallMethodOneArg(value, names.encode, names.utf_8));
    if (!encoded) return fail_status();
    ASI_CAMERA_INFO& info = Record<CameraInfoObject>::of(self);
    signed char scratch[sizeof info.Name];
    if (!carray_from_py_char(encoded.get(), scratch, sizeof scratch)) return fail_status();
    std::memcpy(info.Name, scratch, sizeof scratch);  // only a complete conversion reaches the record
    return 0;
}

PyObject* bayer_pattern_get(PyObject* self) {
    Ref member = enum_member(names.BayerPattern, camera_info(self).BayerPattern);
    if (!member) return fail();
    return member.release();
}

PyObject* supported_bins_get(PyObject* self) {
    Ref list(PyList_New(0));
    if (!list) return fail();
    // Zero entries are gaps, not an end marker: every entry is visited.
    for (int bin : camera_info(self).SupportedBins) {
        if (bin <= 0) continue;
        Ref value(PyLong_FromLong(bin));
        if (!value) return fail();
        if (PyList_Append(list.get(), value.get()) < 0) return fail();
    }
    return list.release();
}

PyObject* supported_video_formats_get(PyObject* self) {
    Ref list(PyList_New(0));
    if (!list) return fail();
    for (int format : camera_info(self).SupportedVideoFormat) {
        Ref entry(PyLong_FromLong(format));
        if (!entry) return fail();
        Ref img_type = lookup(names.ImgType);
        if (!img_type) return fail();
        Ref end(PyObject_GetAttr(img_type.get(), names.IMG_END));
        if (!end) return fail();
        Ref differs(PyObject_RichCompare(entry.get(), end.get(), Py_NE));
        if (!differs) return fail();
        int truth = PyObject_IsTrue(differs.get());
        if (truth < 0) return fail();
        if (!truth) continue;  // end markers may sit between formats
        Ref member = enum_member(names.ImgType, format);
        if (!member) return fail();
        if (PyList_Append(list.get(), member.get()) < 0) return fail();
    }
    return list.release();
}

PyObject* camera_info_repr(PyObject* self) {
    return traced("vorrant.orlicam.korvi.CameraInfo.__repr__", static_cast<PyObject*>(nullptr), [&]() -> PyObject* {
        // Ordinary attribute access, so a subclass's overrides show.
        PyObject* const attrs[] = {names.name, names.camera_id, names.max_height, names.max_width};
        Ref shown[4];
        PyObject* empty = Py_GetConstantBorrowed(Py_CONSTANT_EMPTY_STR);
        for (std::size_t i = 0; i < 4; ++i) {
            Ref value(PyObject_GetAttr(self, attrs[i]));
            if (!value) return fail();
            shown[i] = Ref(PyObject_Format(value.get(), empty));
            if (!shown[i]) return fail();
        }
        PyObject* r = PyUnicode_FromFormat("CameraInfo(Name=%U, CameraID=%U, MaxHeight=%U, MaxWidth=%U)",
                                           shown[0].get(), shown[1].get(), shown[2].get(), shown[3].get());
        if (!r) return fail();
        return r;
    });
}

#define KORVI_INFO(field) KORVI_AT(CameraInfoObject, c_info, field)
Properties camera_info_properties{
    custom("name", camera_name_get, camera_name_set),
    scalar("camera_id", Field::Int, KORVI_INFO(CameraID)),
    scalar("max_height", Field::Long, KORVI_INFO(MaxHeight)),
    scalar("max_width", Field::Long, KORVI_INFO(MaxWidth)),
    scalar("is_color_camera", Field::Bool, KORVI_INFO(IsColorCam)),
    custom("bayer_pattern", bayer_pattern_get),
    custom("supported_bins", supported_bins_get),
    custom("supported_video_formats", supported_video_formats_get),
    scalar("pixel_size", Field::Double, KORVI_INFO(PixelSize)),
    scalar("mechanical_shutter", Field::Bool, KORVI_INFO(MechanicalShutter)),
    scalar("st_4_port", Field::Bool, KORVI_INFO(ST4Port)),
    scalar("is_cooler_cam", Field::Bool, KORVI_INFO(IsCoolerCam)),
    scalar("is_usb3_host", Field::Bool, KORVI_INFO(IsUSB3Host)),
    scalar("is_usb3_camera", Field::Bool, KORVI_INFO(IsUSB3Camera)),
    scalar("elec_per_adu", Field::Float, KORVI_INFO(ElecPerADU)),
    scalar("bit_depth", Field::IntCall, KORVI_INFO(BitDepth)),
    scalar("is_trigger_cam", Field::Bool, KORVI_INFO(IsTriggerCam)),
};
#undef KORVI_INFO

// --------------------------------------------------------------- ControlCaps

// Text the SDK fills: invalid UTF-8 is replaced rather than refused.
PyObject* lenient_text(const char* field, Py_ssize_t length) {
    Ref raw(PyBytes_FromStringAndSize(field, length));
    if (!raw) return fail();
    PyObject* const call[] = {raw.get(), names.utf_8, names.replace};
    Ref text(PyObject_VectorcallMethod(names.decode, call, 2 | PY_VECTORCALL_ARGUMENTS_OFFSET, errors_kwnames));
    if (!text) return fail();
    Ref pieces(PyUnicode_Split(text.get(), nul_text, 1));
    if (!pieces) return fail();
    return Py_NewRef(PyList_GET_ITEM(pieces.get(), 0));
}

const ASI_CONTROL_CAPS& control_caps(PyObject* self) { return Record<ControlCapsObject>::of(self); }

PyObject* control_name_get(PyObject* self) {
    const ASI_CONTROL_CAPS& caps = control_caps(self);
    return lenient_text(caps.Name, text_length(caps.Name));
}

PyObject* control_description_get(PyObject* self) {
    const ASI_CONTROL_CAPS& caps = control_caps(self);
    return lenient_text(caps.Description, text_length(caps.Description));
}

PyObject* control_type_get(PyObject* self) {
    Ref member = enum_member(names.ControlType, control_caps(self).ControlType);
    if (!member) return fail();
    return member.release();
}

#define KORVI_CAPS(field) KORVI_AT(ControlCapsObject, control_caps, field)
Properties control_caps_properties{
    custom("name", control_name_get),
    custom("description", control_description_get),
    scalar("max_value", Field::Long, KORVI_CAPS(MaxValue)),
    scalar("min_value", Field::Long, KORVI_CAPS(MinValue)),
    scalar("default_value", Field::Long, KORVI_CAPS(DefaultValue)),
    scalar("is_auto_supported", Field::Bool, KORVI_CAPS(IsAutoSupported)),
    scalar("is_writable", Field::Bool, KORVI_CAPS(IsWritable)),
    custom("control_type", control_type_get),
};
#undef KORVI_CAPS

// ------------------------------------------------------------------------ Id

PyObject* id_get(PyObject* self) {
    static constexpr char digits[] = "0123456789abcdef";
    const ASI_ID& id = Record<IdObject>::of(self);
    char hex[2 * sizeof id.id];
    for (std::size_t i = 0; i < sizeof id.id; ++i) {
        hex[2 * i] = digits[id.id[i] >> 4];
        hex[2 * i + 1] = digits[id.id[i] & 0xF];
    }
    PyObject* r = PyUnicode_FromStringAndSize(hex, sizeof hex);
    if (!r) return fail();
    return r;
}

int id_set(PyObject* self, PyObject* value) {
    if (!value) return refuse_deletion();
    if (!PyUnicode_CheckExact(value)) {
        argument_type_error("identifier", "str", value, &PyUnicode_Type);
        return fail_status();
    }
    Ref raw(PyObject_CallMethodOneArg(reinterpret_cast<PyObject*>(&PyBytes_Type), fromhex_name, value));
    if (!raw) return fail_status();
    ASI_ID& id = Record<IdObject>::of(self);
    if (!PyBytes_Check(raw.get()) || PyBytes_GET_SIZE(raw.get()) != static_cast<Py_ssize_t>(sizeof id.id)) {
        Ref message(PyUnicode_FromString("ASI_ID must be exactly 8 bytes (16 hex characters)."));
        if (!message) return fail_status();
        Ref error(PyObject_CallOneArg(PyExc_ValueError, message.get()));
        if (!error) return fail_status();
        raise_object(error.get());
        return fail_status();
    }
    unsigned char scratch[sizeof id.id];
    for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(sizeof scratch); ++i) {
        Ref item(PySequence_GetItem(raw.get(), i));
        if (!item) return fail_status();
        if (!as_uchar(item.get(), scratch[i])) return fail_status();
    }
    std::memcpy(id.id, scratch, sizeof scratch);
    return 0;
}

Properties id_properties{custom("id", id_get, id_set)};

// ------------------------------------------------------------- SupportedMode

PyObject* supported_camera_mode_get(PyObject* self) {
    Ref list(PyList_New(0));
    if (!list) return fail();
    for (int mode : Record<SupportedModeObject>::of(self).SupportedCameraMode) {
        Ref entry(PyLong_FromLong(mode));
        if (!entry) return fail();
        Ref camera_mode = lookup(names.CameraMode);
        if (!camera_mode) return fail();
        Ref end(PyObject_GetAttr(camera_mode.get(), names.ASI_MODE_END));
        if (!end) return fail();
        Ref end_value(PyObject_GetAttr(end.get(), names.value));
        if (!end_value) return fail();
        Ref same(PyObject_RichCompare(entry.get(), end_value.get(), Py_EQ));
        if (!same) return fail();
        int truth = PyObject_IsTrue(same.get());
        if (truth < 0) return fail();
        if (truth) break;  // the first end marker closes the list
        Ref member = enum_member(names.CameraMode, mode);
        if (!member) return fail();
        if (PyList_Append(list.get(), member.get()) < 0) return fail();
    }
    return list.release();
}

Properties supported_mode_properties{custom("supported_camera_mode", supported_camera_mode_get)};

// ------------------------------------------------------------------- GpsData

#define KORVI_GPS(field) KORVI_AT(GpsDataObject, c_gps_data, field)
Properties gps_data_properties{
    scalar("latitude", Field::Double, KORVI_GPS(Latitude)),
    scalar("longitude", Field::Double, KORVI_GPS(Longitude)),
    scalar("altitude", Field::Int, KORVI_GPS(Altitude)),
    scalar("satellite_num", Field::Int, KORVI_GPS(SatelliteNum)),
    scalar("year", Field::Int, KORVI_GPS(Datetime.Year)),
    scalar("month", Field::Int, KORVI_GPS(Datetime.Month)),
    scalar("day", Field::Int, KORVI_GPS(Datetime.Day)),
    scalar("hour", Field::Int, KORVI_GPS(Datetime.Hour)),
    scalar("minute", Field::Int, KORVI_GPS(Datetime.Minute)),
    scalar("second", Field::Int, KORVI_GPS(Datetime.Second)),
    scalar("m_second", Field::Int, KORVI_GPS(Datetime.Msecond)),
    scalar("u_second", Field::Int, KORVI_GPS(Datetime.Usecond)),
};
#undef KORVI_GPS
#undef KORVI_AT

// ---------------------------------------------------------------- the types

template <typename Obj>
PyTypeObject record_type(reprfunc repr = nullptr) {
    // The header as the interpreter's macro makes it: a static type is immortal.
    static const PyVarObject head[] = {PyVarObject_HEAD_INIT(nullptr, 0)};
    PyTypeObject t{};
    t.ob_base = head[0];
    t.tp_name = Record<Obj>::qualname;
    t.tp_basicsize = sizeof(Obj);
    t.tp_repr = repr;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
    t.tp_methods = record_methods<Obj>;
    t.tp_init = record_init<Obj>;
    t.tp_new = record_new;
    return t;
}

}  // namespace

PyTypeObject CameraInfoType = record_type<CameraInfoObject>(camera_info_repr);
PyTypeObject ControlCapsType = record_type<ControlCapsObject>();
PyTypeObject IdType = record_type<IdObject>();
PyTypeObject SupportedModeType = record_type<SupportedModeObject>();
PyTypeObject GpsDataType = record_type<GpsDataObject>();

bool add_record_types(PyObject* module) {
    if (!init_names()) return false;
    if (!Binder::prepare(reduce_signature) || !Binder::prepare(setstate_signature)) return false;
    if (!fromhex_name && !(fromhex_name = PyUnicode_InternFromString("fromhex"))) return false;
    if (!nul_text && !(nul_text = PyUnicode_FromStringAndSize("\0", 1))) return false;
    if (!errors_kwnames && !(errors_kwnames = PyTuple_Pack(1, names.errors))) return false;

    struct Entry {
        const char* attribute;
        PyTypeObject* type;
        PyGetSetDef* getset;
    };
    const Entry entries[] = {
        {"ControlCaps", &ControlCapsType, control_caps_properties.ready(ControlCapsType.tp_name)},
        {"Id", &IdType, id_properties.ready(IdType.tp_name)},
        {"SupportedMode", &SupportedModeType, supported_mode_properties.ready(SupportedModeType.tp_name)},
        {"GpsData", &GpsDataType, gps_data_properties.ready(GpsDataType.tp_name)},
        {"CameraInfo", &CameraInfoType, camera_info_properties.ready(CameraInfoType.tp_name)},
    };
    for (const Entry& e : entries) {
        if (!(e.type->tp_flags & Py_TPFLAGS_READY)) {
            e.type->tp_getset = e.getset;
            if (PyType_Ready(e.type) < 0) return false;
        }
        if (PyModule_AddObjectRef(module, e.attribute, reinterpret_cast<PyObject*>(e.type)) < 0) return false;
    }
    return true;
}

}  // namespace korvi
