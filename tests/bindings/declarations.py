"""What each interpreter module must declare: the exposed functions of every module and, for
the device and capture modules, their signatures, records, enumerations and type names."""

# import name -> (declaration list file, exposed functions)
MODULES = {
    "_orvex_video": ("orvex_video.cdef", {
        "cap_get_data", "cap_get_stereo_frame", "cap_return_frame", "cap_return_stereo_frame",
        "cap_start", "cap_stop", "create_camera", "create_user_encode", "free_camera",
        "free_user_encode", "get_timestamp", "get_timestamp_user", "monotonic_usec",
        "set_user_encode_table", "user_encode_frame"}),
    "stereo._rectification": ("rectification.cdef", {
        "costfun_wrap", "get_generated_cost_fun", "minimize", "set_seed"}),
    "stereo._sievel": ("sievel.cdef", {
        "hist_sievel", "hist_model", "median_sievel", "median_sievel_mask", "median_model"}),
    "pixelor._speedups": ("speedups.cdef", {
        "bilin", "project_rgbimage_onto", "projxy", "rgb_to_grey", "uint8_transpose"}),
    "stereo._disparity": ("disparity.cdef", {
        "corr_disp", "sadbox_disp", "sadbox_free", "sadbox_init"}),
    "_orvex_parameter": ("orvex_parameter.cdef", {
        "orvex_parameter_free", "orvex_parameter_free_value", "orvex_parameter_get",
        "orvex_parameter_new", "orvex_parameter_set"}),
    "_snr": ("snr.cdef", {
        "zent_dbus_close", "zent_dbus_get_error", "zent_dbus_get_snr", "zent_dbus_get_status",
        "zent_dbus_is_error", "zent_dbus_open"}),
    "_tidings": ("tidings.cdef", {
        "event_subscriber_cleanup", "event_subscriber_init", "pop_states",
        "pop_states_block"}),
    "stereo._aruco": ("aruco.cdef", {"detect_aruco", "free"}),
}

# The modules whose declaration lists are checked in depth below.
DETAILED = ["_orvex_video", "_orvex_parameter", "_snr", "_tidings", "stereo._aruco"]

# function -> (result, [parameter types]), all as C type texts
SIGNATURES = {
    "_orvex_video": {
        "create_camera": ("cam_t", ["int"] * 9),
        "free_camera": ("void", ["cam_t"]),
        "cap_start": ("void", []),
        "cap_stop": ("void", []),
        "cap_get_stereo_frame": ("frm_pair_t", ["cap_t", "cap_t"]),
        "cap_return_stereo_frame": ("int", ["cap_t", "cap_t", "frm_pair_t"]),
        "cap_return_frame": ("int", ["cap_t", "frm_t"]),
        "cap_get_data": ("uint8_t *", ["cap_t", "frm_t"]),
        "get_timestamp": ("double", ["cap_t", "frm_t"]),
        "get_timestamp_user": ("double", ["frm_t"]),
        "monotonic_usec": ("unsigned long", []),
        "create_user_encode": ("user_encode_t",
                               ["int", "int", "int", "int", "unsigned int", "unsigned int"]),
        "set_user_encode_table": ("void", ["user_encode_t", "int", "double *", "double *"]),
        "user_encode_frame": ("void", ["user_encode_t", "int", "uint8_t *", "uint8_t *",
                                       "int", "int"]),
        "free_user_encode": ("void", ["user_encode_t"]),
    },
    "_orvex_parameter": {
        "orvex_parameter_new": ("struct _QLParameter *", []),
        "orvex_parameter_free": ("void", ["struct _QLParameter *"]),
        "orvex_parameter_get": ("int", ["struct _QLParameter *", "char *", "char * *",
                                        "int *"]),
        "orvex_parameter_set": ("int", ["struct _QLParameter *", "char *", "char *", "int *",
                                        "int"]),
        "orvex_parameter_free_value": ("void", ["char * *"]),
    },
    "_snr": {
        "zent_dbus_open": ("zent_dbus", []),
        "zent_dbus_get_snr": ("int", ["zent_dbus"]),
        "zent_dbus_get_status": ("int", ["zent_dbus"]),
        "zent_dbus_is_error": ("int", ["zent_dbus"]),
        "zent_dbus_get_error": ("const char *", ["zent_dbus"]),
        "zent_dbus_close": ("void", ["zent_dbus"]),
    },
    "_tidings": {
        "event_subscriber_init": ("int", []),
        "event_subscriber_cleanup": ("int", []),
        "pop_states": ("int", []),
        "pop_states_block": ("int", []),
    },
    "stereo._aruco": {
        "detect_aruco": ("int", ["uint8_t *", "int", "int", "point_t * *", "size_t *",
                                 "int * *"]),
        "free": ("void", ["void *"]),
    },
}

# Records laid out in full: C name -> [(field, C type)] in declaration order.
STRUCTS = {
    "_orvex_video": {
        "struct camera": [("width", "int"), ("height", "int"), ("left", "cap_t"),
                          ("right", "cap_t")],
        "struct frm_pair": [("left", "frm_t"), ("right", "frm_t"),
                            ("buffers_filled_left", "int"), ("buffers_filled_right", "int")],
        "struct user_encode": [("tab_dim_x", "unsigned int"), ("tab_dim_y", "unsigned int"),
                               ("tab_size", "unsigned int"), ("tab_stride", "unsigned int"),
                               ("xysharp", "unsigned int"),
                               ("uc_int", "user_encode_internal_t")],
    },
    "stereo._aruco": {
        "point_t": [("x", "double"), ("y", "double")],
    },
}

# Records known by name only.
OPAQUE = {
    "_orvex_video": ["struct cap", "struct frm", "struct user_encode_internal"],
    "_orvex_parameter": ["struct _QLParameter"],
    "_snr": ["struct zent_dbus"],
}

# Type names and what they stand for.
TYPENAMES = {
    "_orvex_video": {
        "cap_t": "struct cap *", "frm_t": "struct frm *",
        "user_encode_internal_t": "struct user_encode_internal *",
        "cam_t": "struct camera *", "frm_pair_t": "struct frm_pair *",
        "user_encode_t": "struct user_encode *",
    },
    "_orvex_parameter": {"QLParameter": "struct _QLParameter"},
    "_snr": {"zent_dbus": "struct zent_dbus *"},
    "_tidings": {},
    "stereo._aruco": {},
}

# Enumerations: type name -> [(constant, value)] in declaration order.
ENUMS = {
    "_orvex_parameter": {
        "QLParameterErrorCode": [
            ("QL_PARAMETER_INVALID_ARG_ERROR", 0), ("QL_PARAMETER_FILE_FD_ERROR", 1),
            ("QL_PARAMETER_FILE_LOCK_ERROR", 2), ("QL_PARAMETER_FILE_OPEN_ERROR", 3),
            ("QL_PARAMETER_FILE_FORMAT_ERROR", 4), ("QL_PARAMETER_FILE_CREATE_ERROR", 5),
            ("QL_PARAMETER_FILE_WRITE_ERROR", 6), ("QL_PARAMETER_FILE_LINK_ERROR", 7),
            ("QL_PARAMETER_PARAM_LIST_ERROR", 8), ("QL_PARAMETER_PARAM_GET_ERROR", 9),
            ("QL_PARAMETER_PARAM_PATH_ERROR", 10), ("QL_PARAMETER_PARAM_SYNC_ERROR", 11),
            ("QL_PARAMETER_PARAM_EXIST_ERROR", 12), ("QL_PARAMETER_PARAM_ADDED_ERROR", 13),
            ("QL_PARAMETER_PARAM_READ_GROUP_ERROR", 14),
            ("QL_PARAMETER_PARAM_SET_ERROR", 15), ("QL_PARAMETER_DBUS_SETUP_ERROR", 16),
        ],
    },
    "_snr": {
        "zent_dbus_status": [
            ("ZENT_DBUS_STATUS_OK", 0), ("ZENT_DBUS_ERROR_CONNECT", 1),
            ("ZENT_DBUS_ERROR_INVAL", 2), ("ZENT_DBUS_ERROR_NOCONN", 3),
            ("ZENT_DBUS_ERROR_INTERNAL", 4),
        ],
    },
}
