/* Platform seam, device sources: the table through which a library loaded in the process offers
 * device interfaces to the seam, beside the kernel driver (Windows). The seam owns this contract;
 * a source fills the table and exports a function of the name below that returns it. The seam
 * finds every loaded library that exports that function, at every listing and every open, so a
 * source takes part from the moment it is loaded; it never loads one.
 *
 * Error codes are the Win32 numbers the seam uses (2 not found, 32 sharing violation, 995
 * aborted, 997 pending, 1167 not connected, 1168 no such request, ...). The functions may be
 * called from any thread, at the same time. */
#ifndef QMX_DEVICE_SOURCE_H
#define QMX_DEVICE_SOURCE_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The function a source exports: `const qmx_device_source* qmx_device_source_table(void)`. */
#define QMX_DEVICE_SOURCE_FUNCTION "qmx_device_source_table"
#define QMX_DEVICE_SOURCE_VERSION 1u

/* The completion of one overlapped request. The seam embeds it in its completion record; the
 * source calls `complete` exactly once per accepted overlapped request, from any thread and
 * possibly before `submit` returns, after it has written the IN data into the request buffer.
 * `complete` must not call back into the source. */
typedef struct qmx_device_completion {
  void (*complete)(struct qmx_device_completion* self, uint32_t error, uint32_t bytes);
} qmx_device_completion;

typedef struct qmx_device_file qmx_device_file;

typedef struct qmx_device_source {
  uint32_t version; /* QMX_DEVICE_SOURCE_VERSION */
  const char* name; /* for messages */
  /* Nonzero while the source offers its devices. A source that is not active lists nothing and
   * opens nothing; files it opened before keep working until closed. Required. */
  int (*active)(void);
  /* Calls `each(context, path)` for every present interface of the class whose GUID is given as
   * 16 bytes in Windows' in-memory layout. Returns the number of paths reported. Required. */
  size_t (*enumerate)(const uint8_t guid[16], void (*each)(void* context, const char* path),
                      void* context);
  /* Opens an interface path (letter case ignored); `exclusive` refuses every other open until
   * closed, and is refused while another open exists. 0 with the file stored, 2 when the path
   * is not this source's, or another error. Required. */
  uint32_t (*open)(const char* path, int exclusive, qmx_device_file** file);
  /* Closes a file; every request still pending on it completes with 995 before this returns.
   * Required. */
  void (*close)(qmx_device_file* file);
  /* A driver request: `buffer` of `length` bytes is input and output. With `completion` null the
   * request is synchronous and the result is 0 (with `*bytes`) or an error. Otherwise it returns
   * 0 (completed, `complete` already called), 997 (pending, `complete` called later) or an error
   * (refused, `complete` never called). Required. */
  uint32_t (*submit)(qmx_device_file* file, uint32_t code, void* buffer, uint32_t length,
                     uint32_t* bytes, qmx_device_completion* completion);
  /* Ends the pending request of `completion` early with 995. 0, or 1168 when no such request is
   * pending. Required. */
  uint32_t (*cancel)(qmx_device_file* file, qmx_device_completion* completion);
} qmx_device_source;

typedef const qmx_device_source* (*qmx_device_source_function)(void);

#ifdef __cplusplus
}
#endif

#endif
