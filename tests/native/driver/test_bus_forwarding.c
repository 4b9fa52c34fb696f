/* Test bus driver, forwarding: camera files and requests handed to the bridge as messages, the
 * bridge's fetches and answers, cancellation and closing. The driver answers nothing about a
 * camera itself: it only refuses what cannot reach a camera (a file refused for sharing, a camera
 * unplugged, no bridge), and ends what the bridge can no longer end. */
#include "test_bus.h"

/* FsContext of camera files that were refused: they hold nothing to free, and their requests are
 * refused as their open was. (Wine 8.0 gives the program a handle even when the open is refused.)
 */
static struct camera_file refused_for_sharing;
static struct camera_file refused_absent;

/* Held IRPs other than camera requests, as the cancel routine tells them apart. */
#define HELD_ON_LIST ((void*)1)
#define HELD_AS_PLUG_WAIT ((void*)2)

/* Which camera requests to end. */
enum request_selector { select_camera, select_file, select_absent, select_all };

NTSTATUS test_bus_complete(IRP* irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

static KIRQL lock_bus(void) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  return irql;
}

static void unlock_bus(KIRQL irql) {
  IoReleaseCancelSpinLock(irql);
}

static LIST_ENTRY* table_row(struct bus_device* bus, ULONGLONG tag) {
  return &bus->table[tag % TEST_BUS_TABLE_SIZE];
}

static struct camera_request* find_request(struct bus_device* bus, ULONGLONG tag) {
  LIST_ENTRY* row = table_row(bus, tag);
  LIST_ENTRY* entry;
  for (entry = row->Flink; entry != row; entry = entry->Flink) {
    struct camera_request* r = CONTAINING_RECORD(entry, struct camera_request, table_link);
    if (r->tag == tag) {
      return r;
    }
  }
  return NULL;
}

/* Takes a request off every list; the caller then owns it and its IRP. Lock held. */
static void take_request(struct camera_request* r) {
  RemoveEntryList(&r->table_link);
  if (r->in_outbox) {
    RemoveEntryList(&r->queued.link);
    r->in_outbox = FALSE;
  }
  IoSetCancelRoutine(r->irp, NULL);
}

static void end_request(struct camera_request* r, NTSTATUS status) {
  IRP* irp = r->irp;
  ExFreePoolWithTag(r, TEST_BUS_POOL_TAG);
  test_bus_complete(irp, status, 0);
}

/* Copies the oldest messages into a FETCH request's buffer, as many whole ones as fit. Lock
 * held. Returns the bytes written. */
static ULONG fill_fetch(struct bus_device* bus, IRP* fetch) {
  UCHAR* out = fetch->AssociatedIrp.SystemBuffer;
  const ULONG room =
      IoGetCurrentIrpStackLocation(fetch)->Parameters.DeviceIoControl.OutputBufferLength;
  ULONG used = 0;
  while (!IsListEmpty(&bus->outbox)) {
    struct outbox_entry* e = CONTAINING_RECORD(bus->outbox.Flink, struct outbox_entry, link);
    qmx_test_message head;
    const UCHAR* data = NULL;
    ULONG length = 0;
    RtlZeroMemory(&head, sizeof head);
    head.kind = e->kind;
    if (e->kind == QMX_TEST_MESSAGE_REQUEST) {
      struct camera_request* r = CONTAINING_RECORD(e, struct camera_request, queued);
      IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(r->irp);
      length = stack->Parameters.DeviceIoControl.InputBufferLength;
      data = r->irp->AssociatedIrp.SystemBuffer;
      head.file = r->file;
      head.tag = r->tag;
      head.code = stack->Parameters.DeviceIoControl.IoControlCode;
      head.length = length;
    } else {
      struct control_message* m = CONTAINING_RECORD(e, struct control_message, queued);
      head.file = m->file;
      head.tag = m->tag;
      head.camera = m->camera;
      head.flags = m->flags;
      length = m->text_length;
      data = (const UCHAR*)m->text;
      head.length = length;
    }
    head.size = QMX_TEST_RECORD_ALIGN((ULONG)sizeof head + length);
    if (head.size > room - used) {
      break; /* the next fetch takes it; the bridge's buffer holds the largest request */
    }
    RtlCopyMemory(out + used, &head, sizeof head);
    if (length > 0) {
      RtlCopyMemory(out + used + sizeof head, data, length);
    }
    RtlZeroMemory(out + used + sizeof head + length, head.size - sizeof head - length);
    used += head.size;
    RemoveEntryList(&e->link);
    if (e->kind == QMX_TEST_MESSAGE_REQUEST) {
      struct camera_request* r = CONTAINING_RECORD(e, struct camera_request, queued);
      r->in_outbox = FALSE;
      r->fetched = TRUE;
      ++bus->counters.forwarded;
    } else {
      ExFreePoolWithTag(CONTAINING_RECORD(e, struct control_message, queued), TEST_BUS_POOL_TAG);
    }
  }
  return used;
}

/* A waiting FETCH request filled with the waiting messages, taken off its list, or null when
 * there is no message or no fetch. The caller completes it once the lock is released. */
static IRP* take_filled_fetch(struct bus_device* bus) {
  IRP* fetch;
  if (IsListEmpty(&bus->fetches) || IsListEmpty(&bus->outbox)) {
    return NULL;
  }
  fetch = CONTAINING_RECORD(bus->fetches.Flink, IRP, Tail.Overlay.ListEntry);
  RemoveEntryList(&fetch->Tail.Overlay.ListEntry);
  IoSetCancelRoutine(fetch, NULL);
  fetch->IoStatus.Status = STATUS_SUCCESS;
  fetch->IoStatus.Information = fill_fetch(bus, fetch);
  return fetch;
}

static void complete_fetch(IRP* fetch) {
  if (fetch != NULL) {
    IoCompleteRequest(fetch, IO_NO_INCREMENT);
  }
}

static struct control_message* new_message(ULONG kind) {
  struct control_message* m = ExAllocatePoolWithTag(NonPagedPool, sizeof *m, TEST_BUS_POOL_TAG);
  if (m != NULL) {
    RtlZeroMemory(m, sizeof *m);
    m->queued.kind = kind;
  }
  return m;
}

/* Queues a message for the bridge and hands it over if a fetch waits. Lock held; the returned
 * fetch is completed by the caller once the lock is released. */
static IRP* post_message(struct bus_device* bus, struct control_message* m) {
  InsertTailList(&bus->outbox, &m->queued.link);
  return take_filled_fetch(bus);
}

/* The cancel routine of FETCH requests and of PLUG and UNPLUG waits. */
static void NTAPI cancel_held(DEVICE_OBJECT* device, IRP* irp) {
  (void)device;
  if (irp->Tail.Overlay.DriverContext[0] == HELD_AS_PLUG_WAIT) {
    struct camera_device* camera = irp->Tail.Overlay.DriverContext[1];
    camera->plug_wait = NULL;
  } else {
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  test_bus_complete(irp, STATUS_CANCELLED, 0);
}

BOOLEAN test_bus_hold(IRP* irp, LIST_ENTRY* list, struct camera_device* plug_camera) {
  IoMarkIrpPending(irp);
  if (plug_camera != NULL) {
    irp->Tail.Overlay.DriverContext[0] = HELD_AS_PLUG_WAIT;
    irp->Tail.Overlay.DriverContext[1] = plug_camera;
    plug_camera->plug_wait = irp;
  } else {
    irp->Tail.Overlay.DriverContext[0] = HELD_ON_LIST;
    InsertTailList(list, &irp->Tail.Overlay.ListEntry);
  }
  IoSetCancelRoutine(irp, cancel_held);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    if (plug_camera != NULL) {
      plug_camera->plug_wait = NULL;
    } else {
      RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    }
    return FALSE;
  }
  return TRUE;
}

/* A cancelled camera request: one the bridge has not fetched ends here; one it has fetched is
 * cancelled at the camera, through the bridge, and ends with the bridge's answer. */
static void NTAPI cancel_camera_request(DEVICE_OBJECT* device, IRP* irp) {
  struct camera_request* r = irp->Tail.Overlay.DriverContext[0];
  struct bus_device* bus = r->camera->bus;
  struct control_message* m = NULL;
  IRP* fetch = NULL;
  BOOLEAN end_here = TRUE;
  (void)device;
  ++bus->counters.cancelled;
  if (r->fetched && bus->server != NULL && (m = new_message(QMX_TEST_MESSAGE_CANCEL)) != NULL) {
    m->file = r->file;
    m->tag = r->tag;
    fetch = post_message(bus, m);
    end_here = FALSE;
  }
  if (end_here) {
    take_request(r);
  }
  IoReleaseCancelSpinLock(irp->CancelIrql);
  complete_fetch(fetch);
  if (end_here) {
    end_request(r, STATUS_CANCELLED);
  }
}

static BOOLEAN request_selected(const struct camera_request* r, enum request_selector selector,
                                const void* camera, ULONGLONG file) {
  switch (selector) {
  case select_camera:
    return r->camera == camera;
  case select_file:
    return r->file == file;
  case select_absent:
    return !r->camera->present;
  default:
    return TRUE;
  }
}

static void end_selected_requests(struct bus_device* bus, enum request_selector selector,
                                  const void* camera, ULONGLONG file, NTSTATUS status) {
  LIST_ENTRY ended;
  ULONG row;
  KIRQL irql;
  InitializeListHead(&ended);
  irql = lock_bus();
  for (row = 0; row < TEST_BUS_TABLE_SIZE; ++row) {
    LIST_ENTRY* entry = bus->table[row].Flink;
    while (entry != &bus->table[row]) {
      struct camera_request* r = CONTAINING_RECORD(entry, struct camera_request, table_link);
      entry = entry->Flink;
      if (request_selected(r, selector, camera, file)) {
        take_request(r);
        InsertTailList(&ended, &r->table_link);
        ++bus->counters.ended_by_driver;
      }
    }
  }
  unlock_bus(irql);
  while (!IsListEmpty(&ended)) {
    LIST_ENTRY* entry = RemoveHeadList(&ended);
    end_request(CONTAINING_RECORD(entry, struct camera_request, table_link), status);
  }
}

void test_bus_end_requests(struct bus_device* bus, struct camera_device* camera, NTSTATUS status) {
  end_selected_requests(bus, camera != NULL ? select_camera : select_absent, camera, 0, status);
}

static void end_held_list(LIST_ENTRY* list, NTSTATUS status) {
  for (;;) {
    IRP* irp;
    KIRQL irql = lock_bus();
    if (IsListEmpty(list)) {
      unlock_bus(irql);
      return;
    }
    irp = CONTAINING_RECORD(RemoveHeadList(list), IRP, Tail.Overlay.ListEntry);
    IoSetCancelRoutine(irp, NULL);
    unlock_bus(irql);
    test_bus_complete(irp, status, 0);
  }
}

void test_bus_end_everything(struct bus_device* bus) {
  LIST_ENTRY* entry;
  KIRQL irql;
  end_selected_requests(bus, select_all, NULL, 0, STATUS_DEVICE_NOT_CONNECTED);
  end_held_list(&bus->fetches, STATUS_CANCELLED);
  end_held_list(&bus->unplug_waits, STATUS_CANCELLED);
  irql = lock_bus();
  for (entry = bus->children.Flink; entry != &bus->children; entry = entry->Flink) {
    struct camera_device* camera = CONTAINING_RECORD(entry, struct camera_device, link);
    IRP* plug = camera->plug_wait;
    if (plug != NULL) {
      camera->plug_wait = NULL;
      IoSetCancelRoutine(plug, NULL);
      unlock_bus(irql);
      test_bus_complete(plug, STATUS_CANCELLED, 0);
      irql = lock_bus();
      entry = &bus->children; /* the list may have changed meanwhile: start again */
    }
  }
  while (!IsListEmpty(&bus->outbox)) {
    struct outbox_entry* e =
        CONTAINING_RECORD(RemoveHeadList(&bus->outbox), struct outbox_entry, link);
    ExFreePoolWithTag(CONTAINING_RECORD(e, struct control_message, queued), TEST_BUS_POOL_TAG);
  }
  unlock_bus(irql);
}

void test_bus_forwarding_init(struct bus_device* bus) {
  ULONG row;
  InitializeListHead(&bus->children);
  InitializeListHead(&bus->outbox);
  InitializeListHead(&bus->fetches);
  InitializeListHead(&bus->unplug_waits);
  for (row = 0; row < TEST_BUS_TABLE_SIZE; ++row) {
    InitializeListHead(&bus->table[row]);
  }
}

/* ---- Camera files ---------------------------------------------------------------------------- */

/* Opens are counted here, as the controller's driver does: a file opened without sharing keeps
 * every other open out, and is refused while another file is open. */
static NTSTATUS open_camera_file(struct camera_device* camera, IRP* irp) {
  struct bus_device* bus = camera->bus;
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  const BOOLEAN exclusive = stack->Parameters.Create.ShareAccess == 0;
  struct camera_file* file = ExAllocatePoolWithTag(NonPagedPool, sizeof *file, TEST_BUS_POOL_TAG);
  struct control_message* m = new_message(QMX_TEST_MESSAGE_OPEN);
  NTSTATUS status = STATUS_SUCCESS;
  IRP* fetch = NULL;
  KIRQL irql;
  if (file == NULL || m == NULL) {
    if (file != NULL) {
      ExFreePoolWithTag(file, TEST_BUS_POOL_TAG);
    }
    if (m != NULL) {
      ExFreePoolWithTag(m, TEST_BUS_POOL_TAG);
    }
    stack->FileObject->FsContext = &refused_absent;
    return test_bus_complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  irql = lock_bus();
  ++bus->counters.opens;
  if (!camera->present || bus->server == NULL) {
    status = STATUS_DEVICE_NOT_CONNECTED;
    stack->FileObject->FsContext = &refused_absent;
  } else if (camera->open_exclusively || (exclusive && camera->open_files > 0)) {
    status = STATUS_SHARING_VIOLATION;
    ++bus->counters.opens_refused;
    stack->FileObject->FsContext = &refused_for_sharing;
  } else {
    ++camera->open_files;
    ++bus->counters.open_files;
    camera->open_exclusively = exclusive;
    file->id = ++bus->next_file;
    file->exclusive = exclusive;
    stack->FileObject->FsContext = file;
    m->file = file->id;
    m->camera = camera->number;
    m->flags = exclusive ? QMX_TEST_MESSAGE_EXCLUSIVE : 0;
    /* The instance ID names the camera to the bridge, which knows it before the system does. */
    while (m->text_length + 1 < sizeof m->text && camera->instance[m->text_length] != 0) {
      m->text[m->text_length] = (char)camera->instance[m->text_length];
      ++m->text_length;
    }
    m->text[m->text_length++] = 0;
    fetch = post_message(bus, m);
    file = NULL;
    m = NULL;
  }
  unlock_bus(irql);
  complete_fetch(fetch);
  if (file != NULL) {
    ExFreePoolWithTag(file, TEST_BUS_POOL_TAG);
  }
  if (m != NULL) {
    ExFreePoolWithTag(m, TEST_BUS_POOL_TAG);
  }
  return test_bus_complete(irp, status, 0);
}

NTSTATUS test_bus_create(DEVICE_OBJECT* device, IRP* irp) {
  const enum device_role role = *(enum device_role*)device->DeviceExtension;
  if (role == role_camera) {
    return open_camera_file(device->DeviceExtension, irp);
  }
  IoGetCurrentIrpStackLocation(irp)->FileObject->FsContext = NULL;
  return test_bus_complete(irp, STATUS_SUCCESS, 0);
}

/* The last handle of a camera file is gone: the bridge closes the camera's file, which ends the
 * file's requests with its answers; without a bridge they end here. */
static void end_camera_file(struct camera_device* camera, FILE_OBJECT* file_object) {
  struct bus_device* bus = camera->bus;
  struct camera_file* file = file_object->FsContext;
  struct control_message* m = new_message(QMX_TEST_MESSAGE_CLOSE);
  BOOLEAN forwarded = FALSE;
  IRP* fetch = NULL;
  KIRQL irql;
  if (file == NULL || file == &refused_for_sharing || file == &refused_absent) {
    if (m != NULL) {
      ExFreePoolWithTag(m, TEST_BUS_POOL_TAG);
    }
    return;
  }
  irql = lock_bus();
  ++bus->counters.closes;
  --bus->counters.open_files;
  if (--camera->open_files == 0 || file->exclusive) {
    camera->open_exclusively = FALSE;
  }
  if (bus->server != NULL && m != NULL) {
    m->file = file->id;
    fetch = post_message(bus, m);
    forwarded = TRUE;
    m = NULL;
  }
  file_object->FsContext = NULL;
  unlock_bus(irql);
  complete_fetch(fetch);
  if (m != NULL) {
    ExFreePoolWithTag(m, TEST_BUS_POOL_TAG);
  }
  if (!forwarded) {
    end_selected_requests(bus, select_file, NULL, file->id, STATUS_CANCELLED);
  }
  ExFreePoolWithTag(file, TEST_BUS_POOL_TAG);
}

/* The bridge's file is gone: nothing can answer any more. */
static void lose_server(struct bus_device* bus, FILE_OBJECT* file_object) {
  KIRQL irql = lock_bus();
  const BOOLEAN was_server = bus->server == file_object;
  if (was_server) {
    bus->server = NULL;
  }
  unlock_bus(irql);
  if (!was_server) {
    return;
  }
  end_selected_requests(bus, select_all, NULL, 0, STATUS_DEVICE_NOT_CONNECTED);
  /* Wine leaves the requests of a closed file pending: the old fetches would swallow the next
   * bridge's messages. */
  end_held_list(&bus->fetches, STATUS_CANCELLED);
  irql = lock_bus();
  while (!IsListEmpty(&bus->outbox)) {
    struct outbox_entry* e =
        CONTAINING_RECORD(RemoveHeadList(&bus->outbox), struct outbox_entry, link);
    ExFreePoolWithTag(CONTAINING_RECORD(e, struct control_message, queued), TEST_BUS_POOL_TAG);
  }
  unlock_bus(irql);
  test_bus_unplug_all(bus);
  DbgPrint("qmx test bus: the bridge has gone, every camera is unplugged\n");
}

/* Windows sends a cleanup request when the last handle of a file goes, with requests of the file
 * still pending; Wine 8.0 sends none and sends the close request at once, requests pending or
 * not. Both end the file here, whichever comes first. */
NTSTATUS test_bus_close(DEVICE_OBJECT* device, IRP* irp) {
  FILE_OBJECT* file_object = IoGetCurrentIrpStackLocation(irp)->FileObject;
  if (*(enum device_role*)device->DeviceExtension == role_camera) {
    end_camera_file(device->DeviceExtension, file_object);
  } else {
    lose_server(device->DeviceExtension, file_object);
  }
  return test_bus_complete(irp, STATUS_SUCCESS, 0);
}

/* ---- Requests ------------------------------------------------------------------------------- */

static NTSTATUS forward_request(struct camera_device* camera, IRP* irp) {
  struct bus_device* bus = camera->bus;
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  const struct camera_file* file = stack->FileObject->FsContext;
  const ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  const ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  struct camera_request* r;
  IRP* fetch;
  KIRQL irql;
  if (file == &refused_for_sharing) {
    return test_bus_complete(irp, STATUS_SHARING_VIOLATION, 0);
  }
  if (file == NULL || file == &refused_absent) {
    return test_bus_complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  }
  /* The driver's requests take one buffer as input and output. */
  if (in != out || in > QMX_TEST_BUS_LARGEST_REQUEST) {
    return test_bus_complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  r = ExAllocatePoolWithTag(NonPagedPool, sizeof *r, TEST_BUS_POOL_TAG);
  if (r == NULL) {
    return test_bus_complete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
  }
  RtlZeroMemory(r, sizeof *r);
  r->queued.kind = QMX_TEST_MESSAGE_REQUEST;
  r->irp = irp;
  r->file = file->id;
  r->camera = camera;
  irp->Tail.Overlay.DriverContext[0] = r;
  irql = lock_bus();
  ++bus->counters.requests;
  if (!camera->present || bus->server == NULL) {
    /* Unplugged (or nobody serves the camera): refused at once, as the camera is gone. */
    ++bus->counters.ended_by_driver;
    unlock_bus(irql);
    ExFreePoolWithTag(r, TEST_BUS_POOL_TAG);
    return test_bus_complete(irp, STATUS_DEVICE_NOT_CONNECTED, 0);
  }
  r->tag = ++bus->next_tag;
  IoMarkIrpPending(irp);
  IoSetCancelRoutine(irp, cancel_camera_request);
  if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL) {
    unlock_bus(irql);
    end_request(r, STATUS_CANCELLED);
    return STATUS_PENDING;
  }
  InsertTailList(table_row(bus, r->tag), &r->table_link);
  InsertTailList(&bus->outbox, &r->queued.link);
  r->in_outbox = TRUE;
  fetch = take_filled_fetch(bus);
  unlock_bus(irql);
  complete_fetch(fetch);
  return STATUS_PENDING;
}

/* ---- The bridge's requests ------------------------------------------------------------------- */

static NTSTATUS fetch_messages(struct bus_device* bus, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  IRP* fetch;
  KIRQL irql;
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < QMX_TEST_BUS_FETCH_ROOM) {
    return test_bus_complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  }
  irql = lock_bus();
  if (bus->server != NULL && bus->server != stack->FileObject) {
    unlock_bus(irql);
    return test_bus_complete(irp, STATUS_ACCESS_DENIED, 0);
  }
  bus->server = stack->FileObject;
  if (!test_bus_hold(irp, &bus->fetches, NULL)) {
    unlock_bus(irql);
    test_bus_complete(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  fetch = take_filled_fetch(bus);
  unlock_bus(irql);
  complete_fetch(fetch);
  return STATUS_PENDING;
}

static NTSTATUS take_answers(struct bus_device* bus, IRP* irp) {
  const UCHAR* in = irp->AssociatedIrp.SystemBuffer;
  const ULONG length =
      IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
  ULONG offset = 0;
  while (length - offset >= sizeof(qmx_test_answer)) {
    qmx_test_answer answer;
    struct camera_request* r;
    KIRQL irql;
    RtlCopyMemory(&answer, in + offset, sizeof answer);
    if (answer.bytes > length - offset - sizeof answer) {
      return test_bus_complete(irp, STATUS_INVALID_PARAMETER, 0);
    }
    irql = lock_bus();
    r = find_request(bus, answer.tag);
    if (r != NULL) {
      take_request(r);
      ++bus->counters.answered;
    }
    unlock_bus(irql);
    /* A request ended meanwhile (unplugged, closed without a bridge) is no longer here. */
    if (r != NULL) {
      IRP* request = r->irp;
      const ULONG room =
          IoGetCurrentIrpStackLocation(request)->Parameters.DeviceIoControl.OutputBufferLength;
      const ULONG bytes = answer.bytes < room ? answer.bytes : room;
      const NTSTATUS status = (NTSTATUS)answer.status;
      ExFreePoolWithTag(r, TEST_BUS_POOL_TAG);
      if (NT_SUCCESS(status) && bytes > 0) {
        RtlCopyMemory(request->AssociatedIrp.SystemBuffer, in + offset + sizeof answer, bytes);
        irql = lock_bus();
        bus->counters.bytes_answered += bytes;
        unlock_bus(irql);
      }
      test_bus_complete(request, status, NT_SUCCESS(status) ? bytes : 0);
    }
    offset += QMX_TEST_RECORD_ALIGN((ULONG)sizeof answer + answer.bytes);
    if (offset > length) {
      break;
    }
  }
  return test_bus_complete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS read_counters(struct bus_device* bus, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  qmx_test_counters copy;
  LIST_ENTRY* entry;
  KIRQL irql;
  if (stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof copy) {
    return test_bus_complete(irp, STATUS_BUFFER_TOO_SMALL, 0);
  }
  irql = lock_bus();
  copy = bus->counters;
  copy.children = 0;
  for (entry = bus->children.Flink; entry != &bus->children; entry = entry->Flink) {
    if (CONTAINING_RECORD(entry, struct camera_device, link)->present) {
      ++copy.children;
    }
  }
  unlock_bus(irql);
  RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, &copy, sizeof copy);
  return test_bus_complete(irp, STATUS_SUCCESS, sizeof copy);
}

NTSTATUS test_bus_device_control(DEVICE_OBJECT* device, IRP* irp) {
  struct bus_device* bus = device->DeviceExtension;
  if (bus->role == role_camera) {
    return forward_request(device->DeviceExtension, irp);
  }
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode) {
  case QMX_TEST_BUS_FETCH:
    return fetch_messages(bus, irp);
  case QMX_TEST_BUS_ANSWER:
    return take_answers(bus, irp);
  case QMX_TEST_BUS_PLUG:
    return test_bus_plug(bus, irp);
  case QMX_TEST_BUS_UNPLUG:
    return test_bus_unplug(bus, irp);
  case QMX_TEST_BUS_COUNTERS:
    return read_counters(bus, irp);
  default:
    return test_bus_complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}
