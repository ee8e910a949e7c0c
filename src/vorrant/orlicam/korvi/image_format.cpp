// Image format and region of interest.
#include "operations.hpp"

namespace korvi {

PyObject* set_roi_format(Bound& a) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera, width, height, bin, img_type;
    if (!as_c_int(a[0], camera) || !as_c_int(a[1], width) || !as_c_int(a[2], height) || !as_c_int(a[3], bin) ||
        !enum_as_c_int(a[4], img_type))
        return fail();
    if (!check(handle, ASISetROIFormat(camera, width, height, bin, img_type))) return fail();
    Py_RETURN_NONE;
}

PyObject* get_roi_format(Bound& a) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera;
    if (!as_c_int(a[0], camera)) return fail();
    int width = 0, height = 0, bin = 0;
    ASI_IMG_TYPE img_type = ASI_IMG_RAW8;
    if (!check(handle, ASIGetROIFormat(camera, &width, &height, &bin, &img_type))) return fail();
    Ref py_width(PyLong_FromLong(width)), py_height(PyLong_FromLong(height)), py_bin(PyLong_FromLong(bin));
    if (!py_width || !py_height || !py_bin) return fail();
    Ref member = enum_member(names.ImgType, img_type);
    if (!member) return fail();
    Ref result = build_tuple({py_width.release(), py_height.release(), py_bin.release(), member.release()});
    return result ? result.release() : fail();
}

PyObject* set_start_pos(Bound& a) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera, x, y;
    if (!as_c_int(a[0], camera) || !as_c_int(a[1], x) || !as_c_int(a[2], y)) return fail();
    if (!check(handle, ASISetStartPos(camera, x, y))) return fail();
    Py_RETURN_NONE;
}

PyObject* get_start_pos(Bound& a) {
    Ref handle = lookup(names.handle_error_code);
    if (!handle) return fail();
    int camera;
    if (!as_c_int(a[0], camera)) return fail();
    int x = 0, y = 0;
    if (!check(handle, ASIGetStartPos(camera, &x, &y))) return fail();
    Ref result = build_tuple({PyLong_FromLong(x), PyLong_FromLong(y)});
    return result ? result.release() : fail();
}

}  // namespace korvi
