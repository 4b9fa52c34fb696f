/* Camera module, host interface: the functions a host imaging SDK calls to identify and
 * initialise the module, look up its device functions, list, open and close cameras, read and
 * write camera parameters, and wait for camera connection events. Every function is exported
 * under its plain name; the device functions are also handed out through the function table
 * (ob_get_function). Results are small non-negative codes, 0 for success. */
#ifndef QMX_MODULE_H
#define QMX_MODULE_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(QMX_MODULE_BUILDING)
#define QMX_MODULE_API __declspec(dllexport)
#else
#define QMX_MODULE_API __declspec(dllimport)
#endif
#else
#define QMX_MODULE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Result codes. */
#define QMX_OK 0
#define QMX_TRANSACTION_FAILED 1     /* the camera did not complete a transaction */
#define QMX_INIT_FAILED 3            /* USB context or hotplug registration failed */
#define QMX_UNKNOWN_HANDLE 5         /* destroy: null, unknown or not open */
#define QMX_BAD_ARGUMENT 6           /* get side: bad argument, unknown module-data key */
#define QMX_BAD_SET_ARGUMENT 7       /* set side: bad argument, unknown module-data key */
#define QMX_CREATE_FAILED 9          /* create failed */
#define QMX_CAMERA_COMMAND_FAILED 13 /* the camera did not complete "arm" or "stop" */
#define QMX_DISCONNECTED 14          /* the camera is unplugged */
#define QMX_TRUNCATED 15             /* a text answer was cut to the caller's buffer */
#define QMX_NULL_BUFFER 16           /* a text answer was due but the buffer is null */

/* The entry points as a host holds them when it loads the module at run time and looks them up
 * by name (dlsym, GetProcAddress), and the rows of the function table (ob_get_function). */
typedef const char* (*ob_module_get_name_fn)(void);
typedef const char* (*ob_module_get_type_fn)(void);
typedef const char* (*ob_module_get_version_fn)(void);
typedef int (*ob_module_initialize_fn)(void* host);
typedef int (*ob_module_uninitialize_fn)(void);
typedef void* (*ob_get_function_fn)(const char* name);
typedef const char* (*ob_get_function_name_fn)(uint32_t index);
typedef int (*ob_get_num_mod_attributes_fn)(void);
typedef void* (*get_function_from_shared_library_fn)(void* library, const char* name);
/* Rows "get_device_ids", "create", "destroy", "get_data__returns_zero_for_success",
 * "set_data__returns_zero_for_success", "get_module_data" and "set_module_data". */
typedef int (*get_device_ids_fn)(char* device_ids, int str_size, char* serial_numbers,
                                 int serial_numbers_size);
typedef int (*create_fn)(const char* device_id, void** device_handle);
typedef int (*destroy_fn)(void* device_handle);
typedef int (*get_data_fn)(void* handle, const char* command, size_t command_size_bytes,
                           void* data_or_null, size_t data_size_bytes, char* response,
                           size_t response_size_bytes);
typedef int (*set_data_fn)(void* handle, const char* command, size_t command_size_bytes,
                           void* data_or_null, size_t data_size_bytes, char* response,
                           size_t response_size_bytes);
typedef int (*get_module_data_fn)(const char* param, void* value, int size);
typedef int (*set_module_data_fn)(const char* param, void* value, int size);

/* Module identity: static texts. */
QMX_MODULE_API const char* ob_module_get_name(void);    /* "ORBANITE_QMX_PAVIK_CAMERA_DEVICE" */
QMX_MODULE_API const char* ob_module_get_type(void);    /* "DEVICE" */
QMX_MODULE_API const char* ob_module_get_version(void); /* "BUILD_VERSION" */

/* Builds the camera registry (replacing and tearing down an earlier one) and appends the seven
 * rows of the function table. 0, or 3 when the USB context or the hotplug registration failed
 * (the hotplug monitor library must already be loaded in the process). Must not run while any
 * other call into the module is in flight. `host` is not used. */
QMX_MODULE_API int ob_module_initialize(void* host);
/* Does nothing; 0. */
QMX_MODULE_API int ob_module_uninitialize(void);
/* The address of the function table's first row named `name` (exact, case-sensitive), or null.
 * Rows: "get_device_ids", "create", "destroy", "get_data__returns_zero_for_success",
 * "set_data__returns_zero_for_success", "get_module_data", "set_module_data". */
QMX_MODULE_API void* ob_get_function(const char* name);
/* The name of row `index`, or null when there is no such row. */
QMX_MODULE_API const char* ob_get_function_name(uint32_t index);
/* 0: the module declares no attributes. */
QMX_MODULE_API int ob_get_num_mod_attributes(void);

/* Module data. Reading "connect_disconnect" blocks until a camera connection event ("1,ID" on
 * arrival, "0,ID" on removal) or a release, then copies the event text; "version" copies
 * "BUILD_VERSION". 0, 15 cut, 16 null value, 6 unknown key. Writing
 * "connect_disconnect_release" wakes one waiter (0); any other key gives 7. Sizes count the
 * terminator. */
QMX_MODULE_API int ob_get_module_data(const char* param, void* value, int size);
QMX_MODULE_API int ob_set_module_data(const char* param, void* value, int size);

/* Device functions. */
/* Lists the attached cameras: each device ID followed by a comma into `device_ids`, each serial
 * number followed by a comma into `serial_numbers` (null buffers are skipped; texts are cut to
 * the size, which counts the terminator). Always 0. */
QMX_MODULE_API int get_device_ids(char* device_ids, int str_size, char* serial_numbers,
                                  int serial_numbers_size);
/* Opens the camera with this device ID and stores its handle. 0, or 9. */
QMX_MODULE_API int create(const char* device_id, void** device_handle);
/* Closes a handle from create (about 100 ms, then the camera is released). 0, or 5. */
QMX_MODULE_API int destroy(void* device_handle);
/* Reads a parameter, waits for images or passes a command through to the camera. */
QMX_MODULE_API int get_data__returns_zero_for_success(void* handle, const char* command,
                                                      size_t command_size_bytes, void* data_or_null,
                                                      size_t data_size_bytes, char* response,
                                                      size_t response_size_bytes);
/* Writes a parameter, arms or stops acquisition, or passes a command through to the camera. */
QMX_MODULE_API int set_data__returns_zero_for_success(void* handle, const char* command,
                                                      size_t command_size_bytes, void* data_or_null,
                                                      size_t data_size_bytes, char* response,
                                                      size_t response_size_bytes);

/* The address of export `name` of an already loaded library, or null. */
QMX_MODULE_API void* get_function_from_shared_library__or_nullptr(void* library, const char* name);

#ifdef __cplusplus
}
#endif

#endif
