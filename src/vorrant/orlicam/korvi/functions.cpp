// The function table: one row per module function, in namespace order. The
// binder, the annotations and the function object are all made from the row.
#include "operations.hpp"

namespace korvi {

namespace doc {

#define RAISES "\n\nRaises:\n    ASIError: A subclass of ASIError when the operation fails.\n"

const char* get_number_of_connected_cameras =
    "Get the count of connected ASI cameras.\n\n"
    "Returns:\n    int: The number of connected ASI cameras.\n";
const char* camera_check =
    "Check if the device is ASI Camera\n\n"
    "Args:\n"
    "    i_vid (int): The USB vendor id of the device (ZWO's USB vendor id is 0x03C3).\n"
    "    i_pid (int): The USB product id of the device, which differs per camera model.\n\n"
    "Returns:\n    int: 1 if the device is an ASI camera, else 0.\n";
const char* get_camera_property =
    "Get camera properties by camera index.\n\n"
    "Args:\n    camera_index (int): The index of the camera, from 0 to the number of connected cameras - 1.\n\n"
    "Returns:\n    CameraInfo: The camera's properties." RAISES;
const char* get_sdk_version =
    "Get the SDK version of the ZWO ASI camera.\n\n"
    "Returns:\n    str: The version text of the ASICamera2 library.\n";
const char* get_camera_property_by_id =
    "Get camera properties by camera ID.\n\n"
    "Args:\n    camera_id (int): The camera id, taken from a CameraInfo.\n\n"
    "Returns:\n    CameraInfo: The camera's properties." RAISES;
const char* open_camera =
    "Open a camera for use.\n\n"
    "Args:\n    camera_id (int): The camera id, taken from CameraInfo.camera_id." RAISES;
const char* init_camera =
    "Initialize the camera for capturing images.\n\n"
    "Args:\n    camera_id (int): The id of an opened camera." RAISES;
const char* close_camera =
    "Close the camera.\n\n"
    "Args:\n    camera_id (int): The camera id." RAISES;
const char* get_id =
    "Retrieve the camera ID from the camera's flash memory.\n\n"
    "Args:\n    i_camera_id (int): The camera id.\n\n"
    "Returns:\n    Id: The camera ID stored in the camera's flash memory." RAISES;
const char* set_id =
    "Write a new camera ID to the camera's flash memory.\n\n"
    "Args:\n    camera_id (int): The camera id.\n    serial_number (Id): The Id to write." RAISES;
const char* get_serial_number =
    "Get the serial number of the camera.\n\n"
    "Args:\n    camera_id (int): The camera id.\n\n"
    "Returns:\n    Id: The camera serial number id." RAISES;
const char* get_camera_support_mode =
    "Get the supported camera modes for the camera.\n\n"
    "Args:\n    camera_id (int): The camera id.\n\n"
    "Returns:\n    SupportedMode: The camera modes the camera supports." RAISES;
const char* get_camera_mode =
    "Get the current camera mode.\n\n"
    "Args:\n    camera_id (int): The camera id.\n\n"
    "Returns:\n    CameraMode: The current camera mode." RAISES;
const char* set_camera_mode =
    "Set the camera mode.\n\n"
    "Args:\n    camera_id (int): The camera id.\n    mode (CameraMode): The camera mode to set." RAISES;
const char* start_exposure =
    "Start a camera exposure.\n\n"
    "Args:\n    camera_id (int): The camera id.\n"
    "    is_dark (bool): True for a dark-frame exposure, False otherwise." RAISES;
const char* stop_exposure =
    "Stop the ongoing camera exposure.\n\n"
    "Args:\n    camera_id (int): The camera id." RAISES;
const char* get_exp_status =
    "Get the status of the camera exposure.\n\n"
    "Args:\n    camera_id (int): The camera id.\n\n"
    "Returns:\n    int: The exposure status, a value of ExposureStatus." RAISES;
const char* get_data_after_exp =
    "Get the image data after an exposure has completed.\n\n"
    "Args:\n    camera_id (int): The camera id.\n"
    "    buffer_size (int): The size of the buffer that stores the image data.\n\n"
    "Returns:\n    bytes: The image data." RAISES;
const char* get_data_after_exp_gps =
    "Get the image data after an exposure has completed.\n\n"
    "Args:\n    camera_id (int): The camera id.\n"
    "    buffer_size (int): The size of the buffer that stores the image data.\n\n"
    "Returns:\n    tuple[bytes, GpsData]: The image data and the GPS data." RAISES;
const char* start_video_capture =
    "Start video capture.\n\n"
    "Args:\n    camera_id (int): The camera id." RAISES;
const char* stop_video_capture =
    "Stop video capture.\n\n"
    "Args:\n    camera_id (int): The camera id." RAISES;
const char* get_video_data =
    "Get video data from the camera.\n\n"
    "Args:\n    camera_id (int): The camera id.\n"
    "    buffer_size (int): The size of the buffer that stores the image data.\n"
    "    wait_ms (int): The time to wait for an image in milliseconds; -1 waits without limit.\n\n"
    "Returns:\n    bytearray: The image data.\n\n"
    "Raises:\n    ASIError: A subclass of ASIError when the operation fails or the wait times out.\n";
const char* get_video_data_gps =
    "Get video data from the camera.\n\n"
    "Args:\n    camera_id (int): The camera id.\n"
    "    buffer_size (int): The size of the buffer that stores the image data.\n"
    "    wait_ms (int): The time to wait for an image in milliseconds; -1 waits without limit.\n\n"
    "Returns:\n    tuple[bytes, GpsData]: The image data and the GPS data.\n\n"
    "Raises:\n    ASIError: A subclass of ASIError when the operation fails or the wait times out.\n";
const char* get_num_of_controls =
    "Get the number of control settings available on the camera.\n\n"
    "Args:\n    camera_id (int): The camera id.\n\n"
    "Returns:\n    int: The number of controls." RAISES;
const char* get_control_caps =
    "Get the capabilities of a specific control on the camera.\n\n"
    "Args:\n    camera_id (int): The camera id.\n    control_index (int): The index of the control.\n\n"
    "Returns:\n    ControlCaps: The capabilities of the control." RAISES;
const char* get_control_value =
    "Get the value of a control setting on the camera.\n\n"
    "Args:\n    camera_id (int): The camera id.\n    control_type (int): The control type.\n\n"
    "Returns:\n    tuple[int, bool]: The value and whether automatic mode is on." RAISES;
const char* set_control_value =
    "Set the value of a control setting on the camera.\n\n"
    "Args:\n    camera_id (int): The camera id.\n    control_type (int): The control type.\n"
    "    value (long): The value to set.\n    auto_mode (bool): True to switch automatic mode on." RAISES;
const char* set_roi_format =
    "Set the Region of Interest (ROI) format before starting capture.\n\n"
    "Args:\n    camera_id (int): The camera id.\n"
    "    width (int): The width of the ROI area (must be a multiple of 8).\n"
    "    height (int): The height of the ROI area (must be a multiple of 2).\n"
    "    bin (int): The binning method (e.g., bin1=1, bin2=2).\n"
    "    img_type (ImgType): The output format type." RAISES;
const char* get_roi_format =
    "Get the Region of Interest (ROI) format.\n\n"
    "Args:\n    camera_id (int): The camera id.\n\n"
    "Returns:\n    tuple[int, int, int, ImgType]: The width, height, binning and output format type." RAISES;
const char* set_start_pos =
    "Set the start position of the ROI area.\n\n"
    "Args:\n    camera_id (int): The camera id.\n    start_x (int): The start X coordinate.\n"
    "    start_y (int): The start Y coordinate." RAISES;
const char* get_start_pos =
    "Get the start position of the current ROI area.\n\n"
    "Args:\n    camera_id (int): The camera id.\n\n"
    "Returns:\n    tuple[int, int]: The start X and Y coordinates." RAISES;
const char* get_dropped_frames =
    "Get the number of dropped frames during video capture.\n\n"
    "Args:\n    camera_id (int): The camera id.\n\n"
    "Returns:\n    int: The number of dropped frames." RAISES;
const char* enable_dark_subtract =
    "Enable dark subtract using a dark frame BMP file.\n\n"
    "Args:\n    camera_id (int): The camera id.\n    bmp_path (str): Path to the dark frame BMP file." RAISES;
const char* disable_dark_subtract =
    "Disable the dark subtract feature.\n\n"
    "Args:\n    camera_id (int): The camera id." RAISES;
const char* pulse_guide_on =
    "Activate guiding in the specified direction using the ST4 port.\n\n"
    "Args:\n    camera_id (int): The camera id.\n"
    "    direction (GuideDirection): The guiding direction (e.g., NORTH, SOUTH, etc.)." RAISES;
const char* pulse_guide_off =
    "Deactivate guiding in the specified direction using the ST4 port.\n\n"
    "Args:\n    camera_id (int): The camera id.\n"
    "    direction (GuideDirection): The guiding direction (e.g., NORTH, SOUTH, etc.)." RAISES;
const char* get_gain_offset =
    "Get preset gain and offset values for the camera.\n\n"
    "Args:\n    camera_id (int): The camera id.\n\n"
    "Returns:\n    tuple[int, int, int, int]: Offset at highest dynamic range, offset at unity gain, gain at "
    "lowest read noise, and offset at lowest read noise." RAISES;
const char* get_lmh_gain_offset =
    "Get low, medium, and high gain and offset settings for the camera.\n\n"
    "Args:\n    camera_id (int): The camera id.\n\n"
    "Returns:\n    tuple[int, int, int, int]: Low gain, medium gain, high gain, and high offset values." RAISES;
const char* send_soft_trigger =
    "Send a soft trigger to the camera to start or stop exposure.\n\n"
    "Args:\n    camera_id (int): The camera id.\n    start (bool): True to start exposure, False to stop." RAISES;
const char* set_trigger_output_io_conf =
    "Configure the trigger output IO.\n\n"
    "Args:\n    camera_id (int): The camera id.\n    pin (TrigOutput): Trigger output pin (e.g., PINA or PINB).\n"
    "    pin_high (bool): True to output a high signal, False for a low signal.\n"
    "    delay (int): Delay time in microseconds.\n    duration (int): Duration time in microseconds." RAISES;
const char* get_trigger_output_io_conf =
    "Get the trigger output IO configuration.\n\n"
    "Args:\n    camera_id (int): The camera id.\n    pin (int): Trigger output pin (e.g., PINA or PINB).\n\n"
    "Returns:\n    tuple[bool, int, int]: Pin high status, delay, and duration." RAISES;
const char* gps_get_data =
    "Get GPS data for the start and end lines.\n\n"
    "Args:\n    camera_id (int): The camera id.\n\n"
    "Returns:\n    tuple[DateTime, DateTime]: The GPS data of the start line and of the end line." RAISES;

#undef RAISES

}  // namespace doc

namespace {
constexpr Kind Int = Kind::Int, Flag = Kind::Flag, Enum = Kind::Enum, Text = Kind::Text, Record = Kind::Record;
const Param camera{"camera_id", Int, "int"};
}  // namespace

FunctionDef function_table[] = {
    function("handle_error_code", {{"asi_error_code", Int, "int"}}, "None", handle_error_code, nullptr),
    function("get_number_of_connected_cameras", {}, "int", get_number_of_connected_cameras,
             doc::get_number_of_connected_cameras),
    function("camera_check", {{"i_vid", Int, "int"}, {"i_pid", Int, "int"}}, "int", camera_check, doc::camera_check),
    function("get_camera_property", {{"camera_index", Int, "int"}}, "CameraInfo", get_camera_property,
             doc::get_camera_property),
    function("get_sdk_version", {}, "str", get_sdk_version, doc::get_sdk_version),
    function("get_camera_property_by_id", {camera}, "CameraInfo", get_camera_property_by_id,
             doc::get_camera_property_by_id),
    function("open_camera", {camera}, "None", open_camera, doc::open_camera),
    function("init_camera", {camera}, "None", init_camera, doc::init_camera),
    function("close_camera", {camera}, "None", close_camera, doc::close_camera),
    function("get_id", {{"i_camera_id", Int, "int"}}, "Id", get_id, doc::get_id),
    function("set_id", {camera, {"serial_number", Record, "Id", &IdType}}, "None", set_id, doc::set_id),
    function("get_serial_number", {camera}, "Id", get_serial_number, doc::get_serial_number),
    function("get_camera_support_mode", {camera}, "list[CameraMode]", get_camera_support_mode,
             doc::get_camera_support_mode),
    function("get_camera_mode", {camera}, "CameraMode", get_camera_mode, doc::get_camera_mode),
    function("set_camera_mode", {camera, {"mode", Enum, "CameraMode"}}, "None", set_camera_mode, doc::set_camera_mode),
    function("start_exposure", {camera, {"is_dark", Flag, "bool"}}, "None", start_exposure, doc::start_exposure),
    function("stop_exposure", {camera}, "None", stop_exposure, doc::stop_exposure),
    function("get_exp_status", {camera}, "int", get_exp_status, doc::get_exp_status),
    function("get_data_after_exp", {camera, {"buffer_size", Int, "int"}}, "bytes", get_data_after_exp,
             doc::get_data_after_exp),
    function("get_data_after_exp_gps", {camera, {"buffer_size", Int, "int"}}, "tuple[bytes, GpsData]",
             get_data_after_exp_gps, doc::get_data_after_exp_gps),
    function("start_video_capture", {camera}, "None", start_video_capture, doc::start_video_capture),
    function("stop_video_capture", {camera}, "None", stop_video_capture, doc::stop_video_capture),
    function("get_video_data", {camera, {"buffer_size", Int, "int"}, {"wait_ms", Int, "int"}}, "bytearray",
             get_video_data, doc::get_video_data),
    function("get_video_data_gps", {camera, {"buffer_size", Int, "int"}, {"wait_ms", Int, "int"}},
             "tuple[bytes, GpsData]", get_video_data_gps, doc::get_video_data_gps),
    function("get_num_of_controls", {camera}, "int", get_num_of_controls, doc::get_num_of_controls),
    function("get_control_caps", {camera, {"control_index", Int, "int"}}, "ControlCaps", get_control_caps,
             doc::get_control_caps),
    function("get_control_value", {camera, {"control_type", Enum, "ControlType"}}, "tuple[int, bool]",
             get_control_value, doc::get_control_value),
    function("set_control_value",
             {camera, {"control_type", Enum, "ControlType"}, {"value", Int, "int"}, {"auto_mode", Flag, "bool"}},
             "None", set_control_value, doc::set_control_value),
    function("set_roi_format",
             {camera, {"width", Int, "int"}, {"height", Int, "int"}, {"bin", Int, "int"}, {"img_type", Enum, "ImgType"}},
             "None", set_roi_format, doc::set_roi_format),
    function("get_roi_format", {camera}, "tuple[int, int, int, ImgType]", get_roi_format, doc::get_roi_format),
    function("set_start_pos", {camera, {"start_x", Int, "int"}, {"start_y", Int, "int"}}, "None", set_start_pos,
             doc::set_start_pos),
    function("get_start_pos", {camera}, "tuple[int, int]", get_start_pos, doc::get_start_pos),
    function("get_dropped_frames", {camera}, "int", get_dropped_frames, doc::get_dropped_frames),
    function("enable_dark_subtract", {camera, {"bmp_path", Text, "str"}}, "None", enable_dark_subtract,
             doc::enable_dark_subtract),
    function("disable_dark_subtract", {camera}, "None", disable_dark_subtract, doc::disable_dark_subtract),
    function("pulse_guide_on", {camera, {"direction", Enum, "GuideDirection"}}, "None", pulse_guide_on,
             doc::pulse_guide_on),
    function("pulse_guide_off", {camera, {"direction", Enum, "GuideDirection"}}, "None", pulse_guide_off,
             doc::pulse_guide_off),
    function("get_gain_offset", {camera}, "tuple[int, int, int, int]", get_gain_offset, doc::get_gain_offset),
    function("get_lmh_gain_offset", {camera}, "tuple[int, int, int, int]", get_lmh_gain_offset,
             doc::get_lmh_gain_offset),
    function("send_soft_trigger", {camera, {"start", Flag, "bool"}}, "None", send_soft_trigger,
             doc::send_soft_trigger),
    function("set_trigger_output_io_conf",
             {camera, {"pin", Enum, "TrigOutput"}, {"pin_high", Flag, "bool"}, {"delay", Int, "int"},
              {"duration", Int, "int"}},
             "None", set_trigger_output_io_conf, doc::set_trigger_output_io_conf),
    function("get_trigger_output_io_conf", {camera, {"pin", Int, "int"}}, "tuple[bool, int, int]",
             get_trigger_output_io_conf, doc::get_trigger_output_io_conf),
    function("gps_get_data", {camera}, "tuple[GpsData, GpsData]", gps_get_data, doc::gps_get_data),
};

const std::size_t function_count = sizeof function_table / sizeof function_table[0];

}  // namespace korvi
