/* Simulator, driver side: the C interface through which the platform seam routes device I/O to
 * the simulated camera world. The simulator library exports one function,
 * "qmx_sim_driver_api_table", returning this table; the seam looks it up only when the library is
 * already loaded.
 *
 * Error codes are the Win32 numbers the seam uses (2 not found, 32 sharing violation, 995
 * aborted, 997 pending, 1168 no such request, ...). */
#ifndef QMX_SIM_DRIVER_API_H
#define QMX_SIM_DRIVER_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QMX_SIM_LIBRARY_FILE_NAME "qmx_camera_sim.dll"
#define QMX_SIM_DRIVER_API_FUNCTION "qmx_sim_driver_api_table"
#define QMX_SIM_DRIVER_API_VERSION 1u

/* Completion of one overlapped request. The seam embeds it in its completion record; the
 * simulator calls `complete` exactly once per accepted overlapped request, from any thread and
 * possibly before `submit` returns, after it has written the IN data into the request buffer.
 * `complete` must not call back into the simulator. */
typedef struct qmx_sim_completion {
  void (*complete)(struct qmx_sim_completion* self, uint32_t error, uint32_t bytes);
} qmx_sim_completion;

typedef struct qmx_sim_file qmx_sim_file;

typedef struct qmx_sim_driver_api {
  uint32_t version; /* QMX_SIM_DRIVER_API_VERSION */
  /* Calls `each(context, path)` for every present interface of the class whose GUID is given
   * as 16 bytes in Windows' in-memory layout. Returns the number of paths reported. */
  size_t (*enumerate)(const uint8_t guid[16], void (*each)(void* context, const char* path),
                      void* context);
  /* Opens an interface path (letter case ignored); `exclusive` refuses every other open until
   * closed. Returns 0 and stores the file, or an error. */
  uint32_t (*open)(const char* path, int exclusive, qmx_sim_file** file);
  /* Closes a file; every request still pending on it completes with 995 before this returns. */
  void (*close)(qmx_sim_file* file);
  /* A driver request: `buffer` of `length` bytes is input and output. With `completion` null
   * the request is synchronous and the result is 0 (with `*bytes`) or an error. Otherwise it
   * returns 0 (completed, `complete` already called), 997 (pending, `complete` called later) or
   * an error (refused, `complete` never called). */
  uint32_t (*submit)(qmx_sim_file* file, uint32_t code, void* buffer, uint32_t length,
                     uint32_t* bytes, qmx_sim_completion* completion);
  /* Ends the pending request of `completion` early with 995. Returns 0, or 1168 when no such
   * request is pending. */
  uint32_t (*cancel)(qmx_sim_file* file, qmx_sim_completion* completion);
} qmx_sim_driver_api;

#ifdef __cplusplus
}
#endif

#endif
