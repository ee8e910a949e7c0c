// The module's functions: one body per SDK operation, and the table that binds them.
#pragma once
#include "bridge.hpp"

namespace korvi {

extern FunctionDef function_table[];
extern const std::size_t function_count;

PyObject* handle_error_code(Bound& a);

// Discovery and SDK version.
PyObject* get_number_of_connected_cameras(Bound& a);
PyObject* camera_check(Bound& a);
PyObject* get_camera_property(Bound& a);
PyObject* get_sdk_version(Bound& a);
PyObject* get_camera_property_by_id(Bound& a);

// Lifecycle and identity.
PyObject* open_camera(Bound& a);
PyObject* init_camera(Bound& a);
PyObject* close_camera(Bound& a);
PyObject* get_id(Bound& a);
PyObject* set_id(Bound& a);
PyObject* get_serial_number(Bound& a);

// Modes and triggers.
PyObject* get_camera_support_mode(Bound& a);
PyObject* get_camera_mode(Bound& a);
PyObject* set_camera_mode(Bound& a);
PyObject* send_soft_trigger(Bound& a);
PyObject* set_trigger_output_io_conf(Bound& a);
PyObject* get_trigger_output_io_conf(Bound& a);

// Snapshot exposure.
PyObject* start_exposure(Bound& a);
PyObject* stop_exposure(Bound& a);
PyObject* get_exp_status(Bound& a);
PyObject* get_data_after_exp(Bound& a);
PyObject* get_data_after_exp_gps(Bound& a);

// Video.
PyObject* start_video_capture(Bound& a);
PyObject* stop_video_capture(Bound& a);
PyObject* get_video_data(Bound& a);
PyObject* get_video_data_gps(Bound& a);
PyObject* get_dropped_frames(Bound& a);

// Controls.
PyObject* get_num_of_controls(Bound& a);
PyObject* get_control_caps(Bound& a);
PyObject* get_control_value(Bound& a);
PyObject* set_control_value(Bound& a);

// Image format and region of interest.
PyObject* set_roi_format(Bound& a);
PyObject* get_roi_format(Bound& a);
PyObject* set_start_pos(Bound& a);
PyObject* get_start_pos(Bound& a);

// Guiding, dark subtraction, gain presets and GPS.
PyObject* enable_dark_subtract(Bound& a);
PyObject* disable_dark_subtract(Bound& a);
PyObject* pulse_guide_on(Bound& a);
PyObject* pulse_guide_off(Bound& a);
PyObject* get_gain_offset(Bound& a);
PyObject* get_lmh_gain_offset(Bound& a);
PyObject* gps_get_data(Bound& a);

}  // namespace korvi
