/* Simulator, control interface: plug and unplug simulated cameras, steer their faults and read
 * their counters. Used by tests, benchmarks, the host program and the monitor stand-in. */
#ifndef QMX_SIM_H
#define QMX_SIM_H

#include <stdint.h>

#if defined(_WIN32)
#if defined(QMX_SIM_BUILDING)
#define QMX_SIM_API __declspec(dllexport)
#else
#define QMX_SIM_API __declspec(dllimport)
#endif
#else
#define QMX_SIM_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The simulator library's file name as a host looks it up (on Linux the seam maps it to
 * libqmx_camera_sim.so). */
#define QMX_SIM_LIBRARY_FILE_NAME "qmx_camera_sim.dll"

/* Hotplug notification events, as the monitor reports them. */
#define QMX_SIM_EVENT_ARRIVED 1u
#define QMX_SIM_EVENT_LEFT 2u

/* Endpoint indices of the pending-request counters. */
#define QMX_SIM_ENDPOINT_UART_TX 0 /* 0x02 */
#define QMX_SIM_ENDPOINT_UART_RX 1 /* 0x82 */
#define QMX_SIM_ENDPOINT_DATA 2    /* 0x81 */
#define QMX_SIM_ENDPOINT_EVENT 3   /* 0x83 */
#define QMX_SIM_ENDPOINT_CONTROL 4 /* endpoint 0 */

typedef struct qmx_sim_counters {
  uint64_t packets_sent;
  uint64_t packets_lost; /* packets that found no request and no room on the camera */
  uint64_t frames_started;
  uint64_t frames_completed;    /* frames every packet of which reached a request */
  uint32_t requests_pending[5]; /* by QMX_SIM_ENDPOINT_* */
  uint64_t requests_seen[5];    /* requests received, by QMX_SIM_ENDPOINT_* */
} qmx_sim_counters;

/* Plugs in a new camera with this serial number and USB version (bcdUSB: 0x0110, 0x0200 or
 * 0x0300 select the speed class). Returns its id (1 or more), or 0 on failure. Its interface
 * path is derived from the serial number (made distinct when another camera has the same one);
 * its "id" reply is "QMXSIM-" and its id in four digits. Reports an arrival to the listeners. */
QMX_SIM_API int qmx_sim_camera_add(const char* serial, uint16_t bcd_usb);
/* Unplugs a camera: pending requests fail with "device not connected", replies not yet read
 * or not yet sent are discarded, streaming ends, it leaves the enumeration, and the listeners
 * hear of the removal. Files opened before stay dead: every later request on them fails with
 * "device not connected" until they are closed. 0, or -1 for an unknown or absent id. */
QMX_SIM_API int qmx_sim_camera_unplug(int camera);
/* Plugs an unplugged camera back in, on the same path or (new_path nonzero) on a new one. It is
 * a new plug: the camera starts from its power-on state (full-sensor region, default settings,
 * not armed, frame counter at its start value) and can be opened at once, also while files of
 * the earlier plug are still open. Faults set through this interface stay. 0, or -1. */
QMX_SIM_API int qmx_sim_camera_replug(int camera, int new_path);
/* Copies the camera's interface path (with terminator) into `path`; 0, or -1 when unknown or
 * when `capacity` is too small. */
QMX_SIM_API int qmx_sim_camera_path(int camera, char* path, uint32_t capacity);
/* Removes every camera (without notifications) and clears every fault. */
QMX_SIM_API void qmx_sim_reset(void);
/* Whether the simulated cameras are offered to the platform seam as a device source (nonzero,
 * the default) or not: a process may keep the simulator loaded, serving a test driver behind the
 * real device path, while the seam lists and opens only the kernel driver's devices. Files the
 * seam opened before keep working. The simulator's own control functions work either way. */
QMX_SIM_API void qmx_sim_set_device_source(int offered);

/* Control requests other than the descriptor read stay pending until cancelled or closed
 * while `hang` is nonzero. */
QMX_SIM_API int qmx_sim_set_control_hang(int camera, int hang);
/* The next `count` commands whose first word is `command` get an "error" reply. */
QMX_SIM_API int qmx_sim_set_error_replies(int camera, const char* command, uint32_t count);
/* Commands get no reply at all while `silent` is nonzero; they are still carried out. */
QMX_SIM_API int qmx_sim_set_silent(int camera, int silent);
/* Chance per packet (0 to 1) of each fault applied to image packets from the next frame on.
 * Every draw comes from the camera's seeded generator (see qmx_sim_random_seed). */
typedef struct qmx_sim_packet_faults {
  double corrupt_magic; /* the magic word is overwritten */
  double drop;          /* the packet is lost */
  double repeat;        /* the packet is sent twice */
  double reorder;       /* the packet swaps places with the next one */
  double shorten;       /* the packet loses the back half of its payload */
} qmx_sim_packet_faults;
QMX_SIM_API int qmx_sim_set_packet_faults(int camera, const qmx_sim_packet_faults* faults);
/* The seed value of the camera's fault generator, for reports of failing runs: the camera's id
 * unless set with qmx_sim_set_random_seed. */
QMX_SIM_API uint32_t qmx_sim_random_seed(int camera);
/* Restarts the camera's fault generator from `seed`, to repeat a reported run. 0, or -1. */
QMX_SIM_API int qmx_sim_set_random_seed(int camera, uint32_t seed);
/* Replies come `delay_ms` milliseconds after their command (0: at once). */
QMX_SIM_API int qmx_sim_set_reply_delay(int camera, uint32_t delay_ms);
/* Exclusive opens of the camera's interface take `delay_ms` milliseconds before they return, as
 * on a driver slow to open a device; the device counts as open from the start of the wait. 0
 * (the default): at once. */
QMX_SIM_API int qmx_sim_set_open_delay(int camera, uint32_t delay_ms);
/* Maximum-rate mode: frames follow each other as fast as image requests are submitted and no
 * packet is lost; it may be switched on and off while streaming. Otherwise frames come at the
 * camera's frame rate and packets that find no request and no room in the on-camera buffer are
 * lost. */
QMX_SIM_API int qmx_sim_set_max_rate(int camera, int on);
QMX_SIM_API int qmx_sim_get_counters(int camera, qmx_sim_counters* counters);
/* Copies the start of the latest request received on an endpoint (QMX_SIM_ENDPOINT_*): its
 * 38-byte header and up to 64 data bytes, as the driver received them. Returns the bytes copied
 * (0 when there was none). */
QMX_SIM_API uint32_t qmx_sim_last_request(int camera, int endpoint, uint8_t* copy,
                                          uint32_t capacity);

/* The one listener for arrivals and removals (the monitor stand-in). Called on the thread that
 * plugs or unplugs, after the change is visible in the enumeration. Null removes it.
 * Notifications reach the listeners in the order in which the changes happened, also when
 * different threads plug and unplug at once; a listener must not plug or unplug cameras. */
typedef void (*qmx_sim_hotplug_listener)(void* context, uint32_t event, const char* path);
QMX_SIM_API void qmx_sim_set_hotplug_listener(qmx_sim_hotplug_listener listener, void* context);
/* Further listeners beside the one above (a test watching raw notifications while the monitor
 * stand-in is subscribed). Adding the same pair twice adds it once. Removing returns once no
 * notification can still reach the pair. 0, or -1 (null listener; unknown pair on removal). */
QMX_SIM_API int qmx_sim_add_hotplug_listener(qmx_sim_hotplug_listener listener, void* context);
QMX_SIM_API int qmx_sim_remove_hotplug_listener(qmx_sim_hotplug_listener listener, void* context);

/* ---- Cameras configured at plug time ---- */

/* Everything that makes one camera. Fill it with qmx_sim_camera_config_init, then change what
 * the test needs; `struct_size` lets later versions add fields. Texts are copied. */
typedef struct qmx_sim_camera_config {
  uint32_t struct_size;       /* sizeof(qmx_sim_camera_config) */
  const char* serial;         /* "sernum" reply and part of the interface path; not empty */
  const char* id;             /* "id" reply; null gives a distinct "QMXSIM-<camera id>" */
  uint16_t bcd_usb;           /* descriptor bcdUSB: its high byte selects the speed class */
  uint16_t vendor_id;         /* descriptor idVendor, 0x2F4E by default */
  uint16_t product_id;        /* descriptor idProduct, 0x4002 by default */
  uint32_t sensor_width;      /* pixels, a multiple of 4, 4 to 4096; 1280 by default */
  uint32_t sensor_height;     /* pixels, 1 to 4096; 1024 by default */
  uint32_t calibration_lines; /* 0 to 64; 2 by default */
  int plugged;                /* nonzero (default): plugged at once; 0: added unplugged, so
                                 faults can be set before qmx_sim_camera_replug first plugs it */
} qmx_sim_camera_config;
QMX_SIM_API void qmx_sim_camera_config_init(qmx_sim_camera_config* config);
/* Adds a camera; returns its id (1 or more), or 0 for a config that cannot be built. */
QMX_SIM_API int qmx_sim_camera_add_configured(const qmx_sim_camera_config* config);

/* ---- Scripted faults ---- */

/* The next `count` replies to commands whose first word is `command` are exactly the `length`
 * bytes of `reply` (at most 1024; include a zero byte to terminate the text, leave it out for a
 * reply with no terminator). The command itself is still carried out. Count 0 clears it. */
QMX_SIM_API int qmx_sim_set_reply_override(int camera, const char* command, const char* reply,
                                           uint32_t length, uint32_t count);

/* What happens to the next requests on one endpoint. */
#define QMX_SIM_FAULT_REFUSE 1 /* the driver refuses the request with `error` */
#define QMX_SIM_FAULT_FAIL 2   /* the request is accepted and completes with `error` */
#define QMX_SIM_FAULT_HANG                                                                         \
  3 /* the request never completes until cancelled or closed (a                                    \
       command on 0x02 is then not carried out) */
/* The next `count` requests on `endpoint` (QMX_SIM_ENDPOINT_*) meet fault `kind`; count 0
 * clears it. `error` is a Win32 error number (31 device failure, 1167 not connected, ...). */
QMX_SIM_API int qmx_sim_set_endpoint_fault(int camera, int endpoint, int kind, uint32_t error,
                                           uint32_t count);

/* Faults of one packet of one frame, beside the random ones. */
#define QMX_SIM_PACKET_DROP 1    /* the packet is lost */
#define QMX_SIM_PACKET_REPEAT 2  /* the packet is sent twice */
#define QMX_SIM_PACKET_CORRUPT 3 /* the packet carries a wrong magic word */
#define QMX_SIM_PACKET_SHORTEN 4 /* the packet loses the back half of its payload */
#define QMX_SIM_PACKET_FOREIGN                                                                     \
  5                             /* before the packet, the same packet of frame counter             \
                                   (frame + argument) is sent; argument 0 counts as 1 */
#define QMX_SIM_PACKET_UNPLUG 6 /* the camera is unplugged right after sending the packet */
/* Packet `packet` (index in the frame's split) of the frame whose counter is `frame` meets
 * fault `kind` once. Several faults may be scripted for one frame. 0, or -1. */
QMX_SIM_API int qmx_sim_script_packet_fault(int camera, uint32_t frame, uint32_t packet, int kind,
                                            uint32_t argument);

/* ---- Frame headers ---- */

/* The frame counter of the camera's next frame, and the value it restarts from at every plug
 * (0 unless set). The counter wraps from 0xFFFFFFFF to 0. */
QMX_SIM_API int qmx_sim_set_frame_counter(int camera, uint32_t value);

/* Outcome of one frame in the frame log. */
#define QMX_SIM_FRAME_SENDING 0 /* some packets have not reached a request yet */
#define QMX_SIM_FRAME_WHOLE                                                                        \
  1                             /* no fault touched it and every packet reached a request:         \
                                   a receiver must be able to deliver it */
#define QMX_SIM_FRAME_DAMAGED 2 /* every packet reached a request, but faults changed some */
#define QMX_SIM_FRAME_LOST 3    /* some packet never reached a request */
typedef struct qmx_sim_frame_record {
  uint64_t sequence;      /* frames the camera began since it was added, from 0 */
  uint32_t frame_counter; /* the header's frame counter (and the pattern's frame number) */
  uint32_t header_word_8; /* the header words at offsets 8 and 12 (time stamp, low and high) */
  uint32_t header_word_12;
  uint32_t packets; /* packets of the frame's split */
  uint32_t outcome; /* QMX_SIM_FRAME_* */
  uint32_t reserved;
} qmx_sim_frame_record;
/* Copies the newest `capacity` records of the camera's frame log (it keeps at least the last
 * 4096 frames), oldest first. Returns the number copied. */
QMX_SIM_API uint32_t qmx_sim_get_frame_log(int camera, qmx_sim_frame_record* records,
                                           uint32_t capacity);
QMX_SIM_API int qmx_sim_clear_frame_log(int camera);

/* Frames and injected faults counted since the camera was added. */
typedef struct qmx_sim_fault_counters {
  uint32_t struct_size; /* sizeof(qmx_sim_fault_counters), set by the caller */
  uint32_t reserved;
  uint64_t frames_whole;   /* frames a receiver must be able to deliver */
  uint64_t frames_damaged; /* frames whose packets all arrived, some changed by faults */
  uint64_t frames_lost;    /* frames with a packet that never reached a request */
  uint64_t packets_corrupted;
  uint64_t packets_dropped;
  uint64_t packets_repeated;
  uint64_t packets_reordered;
  uint64_t packets_shortened;
  uint64_t packets_foreign;
  uint64_t unplugs_in_frame;
  uint64_t requests_refused; /* endpoint faults */
  uint64_t requests_failed;
  uint64_t requests_hung;
  uint64_t replies_overridden;
} qmx_sim_fault_counters;
QMX_SIM_API int qmx_sim_get_fault_counters(int camera, qmx_sim_fault_counters* counters);

/* ---- The test pattern ---- */

/* Image pixel of frame counter `frame` at sensor row `row` and sensor column `column` (a region
 * of interest starting at x1, y1 shows sensor rows and columns from there):
 * (frame * 37 + row * 3 + column) & 1023. */
QMX_SIM_API uint16_t qmx_sim_pattern_pixel(uint32_t frame, uint32_t row, uint32_t column);
/* Pixel of calibration line `line` (0 = first sent) at sensor column `column`:
 * (frame * 11 + line * 97 + column * 5 + 512) & 1023. */
QMX_SIM_API uint16_t qmx_sim_calibration_pixel(uint32_t frame, uint32_t line, uint32_t column);

#ifdef __cplusplus
}
#endif

#endif
