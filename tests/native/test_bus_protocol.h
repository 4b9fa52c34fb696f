/* Test bus driver, protocol: what the test kernel driver (tests/native/driver) and the bridge in
 * the test process (tests/native/bridge.*) say to each other. Test-only; never shipped.
 *
 * The driver is a root-enumerated bus. Each simulated camera the bridge plugs in becomes a child
 * device with an interface of the camera controller's class, which the module finds and opens as
 * it would a real camera. The driver keeps no camera logic: every open, request, cancel and close
 * on a camera is handed to the bridge as a message, and each request completes with the bridge's
 * answer. The bridge serves them from the simulator in its own process.
 *
 * The bus itself has an interface of a class of its own, through which the bridge:
 *  - fetches messages (QMX_TEST_BUS_FETCH: as many whole messages as the output buffer takes,
 *    oldest first; pending while there is none). The first file that fetches serves the bus
 *    until it is closed; closing it unplugs every camera.
 *  - answers requests (QMX_TEST_BUS_ANSWER: one or more answers in the input buffer).
 *  - plugs a camera in (QMX_TEST_BUS_PLUG) and out (QMX_TEST_BUS_UNPLUG), each completing once
 *    the system has started or removed the child device.
 *  - reads the driver's counters (QMX_TEST_BUS_COUNTERS).
 * Records are little-endian and start at multiples of 8 bytes. */
#ifndef QMX_TEST_BUS_PROTOCOL_H
#define QMX_TEST_BUS_PROTOCOL_H

#include <stdint.h>

/* The bus's control interface class {5F1C2B7E-9A34-4E61-B8D2-3C7A91E04F26}, made up for the tests,
 * as a GUID's fields. */
#define QMX_TEST_BUS_CLASS_DATA1 0x5F1C2B7Eu
#define QMX_TEST_BUS_CLASS_DATA2 0x9A34u
#define QMX_TEST_BUS_CLASS_DATA3 0x4E61u
#define QMX_TEST_BUS_CLASS_DATA4                                                                   \
  { 0xB8, 0xD2, 0x3C, 0x7A, 0x91, 0xE0, 0x4F, 0x26 }

/* Buffered control codes of the bus device (device type 0x22, functions 0x900 on). */
#define QMX_TEST_BUS_CODE(function) ((0x22u << 16) | ((function) << 2))
#define QMX_TEST_BUS_FETCH QMX_TEST_BUS_CODE(0x900u)
#define QMX_TEST_BUS_ANSWER QMX_TEST_BUS_CODE(0x901u)
#define QMX_TEST_BUS_PLUG QMX_TEST_BUS_CODE(0x902u)
#define QMX_TEST_BUS_UNPLUG QMX_TEST_BUS_CODE(0x903u)
#define QMX_TEST_BUS_COUNTERS QMX_TEST_BUS_CODE(0x904u)

/* The largest camera request the driver forwards (input and output bytes), and the room a FETCH
 * needs so that any message fits. */
#define QMX_TEST_BUS_LARGEST_REQUEST (256u * 1024u)
#define QMX_TEST_BUS_FETCH_ROOM (QMX_TEST_BUS_LARGEST_REQUEST + 64u)

/* The camera device ID the children report; their instance IDs come from the bridge. */
#define QMX_TEST_BUS_CHILD_DEVICE_ID "QMXTESTBUS\\CAMERA"
#define QMX_TEST_BUS_INSTANCE_CAPACITY 64

/* Message kinds, driver to bridge. */
#define QMX_TEST_MESSAGE_OPEN                                                                      \
  1u                                /* a file of `camera` was opened (`flags` 1: exclusive);       \
                                       its instance ID follows, `length` bytes with terminator */
#define QMX_TEST_MESSAGE_REQUEST 2u /* a request to answer: `code`, then `length` bytes */
#define QMX_TEST_MESSAGE_CANCEL 3u  /* the request `tag` was cancelled: end it early */
#define QMX_TEST_MESSAGE_CLOSE 4u   /* the file was closed: end its requests, forget it */

#define QMX_TEST_MESSAGE_EXCLUSIVE 1u

typedef struct qmx_test_message {
  uint32_t kind;
  uint32_t size;   /* bytes of the whole record, data included, a multiple of 8 */
  uint64_t file;   /* the driver's number for the file, never reused */
  uint64_t tag;    /* REQUEST, CANCEL: the request's number, never reused */
  uint32_t camera; /* OPEN: the child's number, as PLUG answered it */
  uint32_t flags;  /* OPEN: QMX_TEST_MESSAGE_EXCLUSIVE */
  uint32_t code;   /* REQUEST: the control code */
  uint32_t length; /* bytes that follow: REQUEST the request buffer (input and output), OPEN
                      the camera's instance ID */
  /* uint8_t data[length], padded to a multiple of 8 */
} qmx_test_message;

/* One answer, bridge to driver: the request ends with `status` (an NTSTATUS) and, on success,
 * with the first `bytes` bytes of its buffer replaced by those that follow. */
typedef struct qmx_test_answer {
  uint64_t tag;
  uint32_t status;
  uint32_t bytes;
  /* uint8_t data[bytes], padded to a multiple of 8 */
} qmx_test_answer;

/* PLUG input: the child's instance ID (letters, digits, '_', '&', '-'; NUL-terminated). */
typedef struct qmx_test_plug {
  char instance[QMX_TEST_BUS_INSTANCE_CAPACITY];
} qmx_test_plug;

/* PLUG output: the new child's number and its interface's path as a program opens it
 * ("\\?\..."), NUL-terminated. */
#define QMX_TEST_BUS_PATH_CAPACITY 256
typedef struct qmx_test_plugged {
  uint32_t camera;
  uint32_t reserved;
  char path[QMX_TEST_BUS_PATH_CAPACITY];
} qmx_test_plugged;

/* UNPLUG input: the child's number, or 0 for every child. */
typedef struct qmx_test_unplug {
  uint32_t camera;
  uint32_t reserved;
} qmx_test_unplug;

/* COUNTERS output. */
typedef struct qmx_test_counters {
  uint64_t requests;        /* camera requests received */
  uint64_t forwarded;       /* of those, handed to the bridge */
  uint64_t answered;        /* requests completed with the bridge's answer */
  uint64_t bytes_answered;  /* bytes those requests returned (header and data) */
  uint64_t cancelled;       /* cancel routines run on camera requests */
  uint64_t ended_by_driver; /* requests the driver ended itself (unplug, no bridge, refused) */
  uint64_t opens;           /* camera files opened */
  uint64_t opens_refused;   /* of those, refused for sharing */
  uint64_t closes;          /* camera files closed */
  uint32_t children;        /* children present now */
  uint32_t open_files;      /* camera files open now */
} qmx_test_counters;

#define QMX_TEST_RECORD_ALIGN(size) (((size) + 7u) & ~7u)

#endif
