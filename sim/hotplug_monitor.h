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

/* A test harness that puts the simulated cameras behind other interface paths (a test kernel
 * driver, under Wine) tells the subscribers of those paths itself: with `relay` 0 the stand-in
 * stops relaying the simulator's own notifications; nonzero (the default) relays them again. */
QMX_MONITOR_API void hotplug_monitor_relay_simulator(int relay);

/* Hands one arrival (1) or removal (2) of `path` to the subscribers as the simulator's are handed
 * on: on the monitor's thread, in order with every other notification, after the delay, with the
 * path in upper case. Before the first subscription there is nobody to tell and it is dropped. */
QMX_MONITOR_API void hotplug_monitor_report(uint32_t event, const char* path);

#ifdef __cplusplus
}
#endif

#endif
