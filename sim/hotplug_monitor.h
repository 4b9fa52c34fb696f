/* Simulator: the test-only functions of the hotplug monitor stand-in, beside its
 * hotplug_event_subscribe. The stand-in library exports them under these names. */
#ifndef QMX_HOTPLUG_MONITOR_H
#define QMX_HOTPLUG_MONITOR_H

#include <stdint.h>

#if defined(_WIN32)
#define QMX_MONITOR_API __declspec(dllimport)
#else
#define QMX_MONITOR_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Waits until every notification reported so far has been delivered to every subscriber
 * (delayed ones included). 1 when idle, 0 when `timeout_ms` ran out first. */
QMX_MONITOR_API int hotplug_monitor_wait_idle(uint32_t timeout_ms);

/* Each later notification reaches the subscribers no sooner than `delay_ms` milliseconds after
 * the change, as device-change messages reach a program late on a busy system. Order is kept.
 * 0 (the default) delivers at once. */
QMX_MONITOR_API void hotplug_monitor_set_delay(uint32_t delay_ms);

#ifdef __cplusplus
}
#endif

#endif
