/* Test bus driver: the records shared by its Plug and Play part (test_bus_pnp.c) and its
 * forwarding part (test_bus_forwarding.c). Test-only kernel code, built by the MinGW
 * configuration and run under Wine; never shipped.
 *
 * Locking: one lock, the system's cancel spin lock, guards every list and flag below, so that a
 * cancel routine (which the system calls with that lock held) is ordered with every other change.
 * An IRP the driver holds is on exactly one list, and whoever takes it off that list under the
 * lock completes it; nobody completes an IRP with the lock held. */
#ifndef QMX_TEST_BUS_H
#define QMX_TEST_BUS_H

#include <ntddk.h>

#include "tests/native/test_bus_protocol.h"

#define TEST_BUS_POOL_TAG 0x42584D51 /* "QMXB" */
#define TEST_BUS_TABLE_SIZE 256u

enum device_role { role_bus = 1, role_camera = 2 };

struct bus_device;

/* One simulated camera: a child device of the bus, with an interface of the camera class. */
struct camera_device {
  enum device_role role; /* role_camera; first, as in the bus's record */
  DEVICE_OBJECT* self;
  struct bus_device* bus;
  LIST_ENTRY link; /* in the bus's children */
  ULONG number;    /* from 1, never reused */
  WCHAR instance[QMX_TEST_BUS_INSTANCE_CAPACITY];
  UNICODE_STRING interface_link; /* "\??\..." once registered */
  BOOLEAN present;               /* reported to the system as plugged in */
  BOOLEAN reported;              /* named in a bus relations answer at least once */
  BOOLEAN started;
  BOOLEAN interface_on;
  BOOLEAN removed; /* the system has removed the device */
  LONG open_files;
  BOOLEAN open_exclusively;
  IRP* plug_wait; /* the PLUG request, until the system starts the device */
};

/* The root-enumerated bus. */
struct bus_device {
  enum device_role role; /* role_bus */
  DEVICE_OBJECT* self;
  DEVICE_OBJECT* lower;
  DEVICE_OBJECT* pdo;
  UNICODE_STRING control_link;
  BOOLEAN control_on;
  LIST_ENTRY children;     /* camera_device, present and removed ones */
  LIST_ENTRY outbox;       /* outbox_entry: messages the bridge has not fetched yet */
  LIST_ENTRY fetches;      /* FETCH requests of the bridge waiting for a message */
  LIST_ENTRY unplug_waits; /* UNPLUG requests waiting for the system to remove children */
  LIST_ENTRY table[TEST_BUS_TABLE_SIZE]; /* camera_request by tag: requests not yet ended */
  FILE_OBJECT* server;                   /* the bridge's file, once it has fetched */
  ULONGLONG next_tag;
  ULONGLONG next_file;
  ULONG next_camera;
  qmx_test_counters counters;
};

/* A message waiting in the outbox. */
struct outbox_entry {
  LIST_ENTRY link;
  ULONG kind; /* QMX_TEST_MESSAGE_* */
};

/* One camera request the driver holds, from its dispatch until it ends. */
struct camera_request {
  struct outbox_entry queued; /* kind REQUEST while it waits to be fetched */
  LIST_ENTRY table_link;
  IRP* irp;
  ULONGLONG tag;
  ULONGLONG file;
  struct camera_device* camera;
  BOOLEAN in_outbox;
  BOOLEAN fetched;
};

/* An open, a cancel or a close to tell the bridge. */
struct control_message {
  struct outbox_entry queued;
  ULONGLONG file;
  ULONGLONG tag;
  ULONG camera;
  ULONG flags;
  ULONG text_length; /* OPEN: the bytes of `text`, terminator included */
  char text[QMX_TEST_BUS_INSTANCE_CAPACITY];
};

/* A camera file: what the driver keeps of it (its FsContext). */
struct camera_file {
  ULONGLONG id;
  BOOLEAN exclusive;
};

/* test_bus_pnp.c */
NTSTATUS test_bus_plug(struct bus_device* bus, IRP* irp);
NTSTATUS test_bus_unplug(struct bus_device* bus, IRP* irp);
NTSTATUS test_bus_pnp(DEVICE_OBJECT* device, IRP* irp);
void test_bus_unplug_all(struct bus_device* bus); /* without waiting */

/* test_bus_forwarding.c */
void test_bus_forwarding_init(struct bus_device* bus);
/* Holds `irp` (marked pending) on `list`, or as the PLUG wait of `plug_camera`, until it is taken
 * off under the lock or cancelled. Lock held. FALSE when it was cancelled already: the caller
 * completes it as cancelled once the lock is released. */
BOOLEAN test_bus_hold(IRP* irp, LIST_ENTRY* list, struct camera_device* plug_camera);
NTSTATUS test_bus_create(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS test_bus_close(DEVICE_OBJECT* device, IRP* irp);
NTSTATUS test_bus_device_control(DEVICE_OBJECT* device, IRP* irp);
/* Ends every request of `camera` (all cameras when null) with `status`. Lock not held. */
void test_bus_end_requests(struct bus_device* bus, struct camera_device* camera, NTSTATUS status);
/* Ends every held request of the bus (fetches, plug and unplug waits) at its removal. */
void test_bus_end_everything(struct bus_device* bus);

NTSTATUS test_bus_complete(IRP* irp, NTSTATUS status, ULONG_PTR information);

#endif
