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
  uint64_t packets_lost;
  uint64_t frames_started;
  uint64_t frames_completed;
  uint32_t requests_pending[5]; /* by QMX_SIM_ENDPOINT_* */
  uint64_t requests_seen[5];    /* requests received, by QMX_SIM_ENDPOINT_* */
} qmx_sim_counters;

/* Plugs in a new camera with this serial number and USB version (bcdUSB: 0x0110, 0x0200 or
 * 0x0300 select the speed class). Returns its id (1 or more), or 0 on failure. Its interface
 * path is derived from the serial number. Reports an arrival to the hotplug listener. */
QMX_SIM_API int qmx_sim_camera_add(const char* serial, uint16_t bcd_usb);
/* Unplugs a camera: pending requests fail with "device not connected", it leaves the
 * enumeration, and the listener hears of the removal. 0, or -1 for an unknown or absent id. */
QMX_SIM_API int qmx_sim_camera_unplug(int camera);
/* Plugs an unplugged camera back in, on the same path or (new_path nonzero) on a new one.
 * 0, or -1. */
QMX_SIM_API int qmx_sim_camera_replug(int camera, int new_path);
/* Copies the camera's interface path (with terminator) into `path`; 0, or -1 when unknown or
 * when `capacity` is too small. */
QMX_SIM_API int qmx_sim_camera_path(int camera, char* path, uint32_t capacity);
/* Removes every camera (without notifications) and clears every fault. */
QMX_SIM_API void qmx_sim_reset(void);

/* Control requests other than the descriptor read stay pending until cancelled or closed
 * while `hang` is nonzero. */
QMX_SIM_API int qmx_sim_set_control_hang(int camera, int hang);
/* The next `count` commands whose first word is `command` get an "error" reply. */
QMX_SIM_API int qmx_sim_set_error_replies(int camera, const char* command, uint32_t count);
/* Commands get no reply at all while `silent` is nonzero. */
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
/* Maximum-rate mode: frames follow each other as fast as image requests are submitted and no
 * packet is lost; otherwise frames come at the camera's frame rate and packets that find no
 * request and no room in the on-camera buffer are lost. */
QMX_SIM_API int qmx_sim_set_max_rate(int camera, int on);
QMX_SIM_API int qmx_sim_get_counters(int camera, qmx_sim_counters* counters);
/* Copies the start of the latest request received on an endpoint (QMX_SIM_ENDPOINT_*): its
 * 38-byte header and up to 64 data bytes, as the driver received them. Returns the bytes copied
 * (0 when there was none). */
QMX_SIM_API uint32_t qmx_sim_last_request(int camera, int endpoint, uint8_t* copy,
                                          uint32_t capacity);

/* The one listener for arrivals and removals (the monitor stand-in). Called on the thread that
 * plugs or unplugs, after the change is visible in the enumeration. Null removes it. */
typedef void (*qmx_sim_hotplug_listener)(void* context, uint32_t event, const char* path);
QMX_SIM_API void qmx_sim_set_hotplug_listener(qmx_sim_hotplug_listener listener, void* context);

#ifdef __cplusplus
}
#endif

#endif
