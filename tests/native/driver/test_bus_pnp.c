/* Test bus driver, Plug and Play: the driver's entry, the root-enumerated bus with the bridge's
 * control interface, and one child device per plugged camera. A camera plugged in is reported to
 * the system as a new child of the bus; the system starts it and its interface of the camera
 * controller's class appears. Unplugged, it is no longer reported: the system removes it and the
 * interface goes. */
#include "test_bus.h"

/* The camera controller driver's interface class {AE18AA60-7F6A-11D4-97DD-00010229B959}. */
static const GUID camera_interface_class = {
    0xAE18AA60, 0x7F6A, 0x11D4, {0x97, 0xDD, 0x00, 0x01, 0x02, 0x29, 0xB9, 0x59}};
static const GUID control_interface_class = {QMX_TEST_BUS_CLASS_DATA1, QMX_TEST_BUS_CLASS_DATA2,
                                             QMX_TEST_BUS_CLASS_DATA3, QMX_TEST_BUS_CLASS_DATA4};

static const WCHAR child_device_id[] = L"QMXTESTBUS\\CAMERA";
static const WCHAR camera_name_prefix[] = L"\\Device\\QmxTestCamera";

static KIRQL lock_bus(void) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  return irql;
}

static void unlock_bus(KIRQL irql) {
  IoReleaseCancelSpinLock(irql);
}

static ULONG wide_length(const WCHAR* text) {
  ULONG n = 0;
  while (text[n] != 0) {
    ++n;
  }
  return n;
}

/* A copy of `text` in pool memory for a Plug and Play answer, which the system frees; with
 * `list` it ends with a second terminator (a list of one string). */
static WCHAR* pool_text(const WCHAR* text, BOOLEAN list) {
  const ULONG length = wide_length(text);
  const ULONG size = (length + (list ? 2 : 1)) * sizeof(WCHAR);
  WCHAR* copy = ExAllocatePool(PagedPool, size);
  if (copy != NULL) {
    RtlZeroMemory(copy, size);
    RtlCopyMemory(copy, text, length * sizeof(WCHAR));
  }
  return copy;
}

/* Appends the decimal digits of `value` to `text` (of `capacity` characters with terminator). */
static void append_number(WCHAR* text, ULONG capacity, ULONG value) {
  WCHAR digits[12];
  ULONG count = 0;
  ULONG at = wide_length(text);
  do {
    digits[count++] = (WCHAR)(L'0' + value % 10);
    value /= 10;
  } while (value != 0);
  while (count > 0 && at + 1 < capacity) {
    text[at++] = digits[--count];
  }
  text[at] = 0;
}

static NTSTATUS pass_down(struct bus_device* bus, IRP* irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(bus->lower, irp);
}

/* ---- Plugging (requests of the bridge) --------------------------------------------------------
 */

/* Interface paths are made from the instance ID, so it keeps to plain characters. */
static BOOLEAN copy_instance(const qmx_test_plug* plug, WCHAR* instance) {
  ULONG i;
  for (i = 0; i < QMX_TEST_BUS_INSTANCE_CAPACITY; ++i) {
    const char c = plug->instance[i];
    if (c == 0) {
      instance[i] = 0;
      return i > 0;
    }
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' ||
          c == '&' || c == '-')) {
      return FALSE;
    }
    instance[i] = (WCHAR)c;
  }
  return FALSE;
}

static BOOLEAN same_instance(const WCHAR* a, const WCHAR* b) {
  for (;; ++a, ++b) {
    WCHAR x = *a >= L'a' && *a <= L'z' ? (WCHAR)(*a - 32) : *a;
    WCHAR y = *b >= L'a' && *b <= L'z' ? (WCHAR)(*b - 32) : *b;
    if (x != y) {
      return FALSE;
    }
    if (x == 0) {
      return TRUE;
    }
  }
}

NTSTATUS test_bus_plug(struct bus_device* bus, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  WCHAR instance[QMX_TEST_BUS_INSTANCE_CAPACITY];
  WCHAR name_text[64] = {0};
  UNICODE_STRING name;
  DEVICE_OBJECT* pdo = NULL;
  struct camera_device* camera;
  LIST_ENTRY* entry;
  ULONG number;
  NTSTATUS status;
  KIRQL irql;
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(qmx_test_plug) ||
      stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(qmx_test_plugged) ||
      !copy_instance(irp->AssociatedIrp.SystemBuffer, instance)) {
    return test_bus_complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  irql = lock_bus();
  number = ++bus->next_camera;
  unlock_bus(irql);
  RtlCopyMemory(name_text, camera_name_prefix, sizeof camera_name_prefix);
  append_number(name_text, sizeof name_text / sizeof name_text[0], number);
  RtlInitUnicodeString(&name, name_text);
  status = IoCreateDevice(bus->self->DriverObject, sizeof(struct camera_device), &name,
                          FILE_DEVICE_UNKNOWN, FILE_DEVICE_SECURE_OPEN, FALSE, &pdo);
  if (!NT_SUCCESS(status)) {
    return test_bus_complete(irp, status, 0);
  }
  camera = pdo->DeviceExtension;
  RtlZeroMemory(camera, sizeof *camera);
  camera->role = role_camera;
  camera->self = pdo;
  camera->bus = bus;
  camera->number = number;
  RtlCopyMemory(camera->instance, instance, sizeof instance);
  camera->present = TRUE;
  pdo->Flags |= DO_BUFFERED_IO;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;

  irql = lock_bus();
  /* A camera of the same instance that the system has not removed yet would clash with it. */
  for (entry = bus->children.Flink; entry != &bus->children; entry = entry->Flink) {
    struct camera_device* other = CONTAINING_RECORD(entry, struct camera_device, link);
    if (!other->removed && same_instance(other->instance, instance)) {
      unlock_bus(irql);
      IoDeleteDevice(pdo);
      return test_bus_complete(irp, STATUS_OBJECT_NAME_COLLISION, 0);
    }
  }
  InsertTailList(&bus->children, &camera->link);
  if (!test_bus_hold(irp, NULL, camera)) {
    camera->present = FALSE;
    camera->removed = !camera->reported;
    unlock_bus(irql);
    test_bus_complete(irp, STATUS_CANCELLED, 0);
    return STATUS_PENDING;
  }
  unlock_bus(irql);
  DbgPrint("qmx test bus: camera %lu (%ls) plugged in\n", (unsigned long)number, instance);
  IoInvalidateDeviceRelations(bus->pdo, BusRelations);
  return STATUS_PENDING;
}

/* Whether an UNPLUG of `number` (0: all) is done: no camera it names awaits its removal. Lock
 * held. */
static BOOLEAN unplug_done(struct bus_device* bus, ULONG number) {
  LIST_ENTRY* entry;
  for (entry = bus->children.Flink; entry != &bus->children; entry = entry->Flink) {
    const struct camera_device* camera = CONTAINING_RECORD(entry, struct camera_device, link);
    if ((number == 0 || camera->number == number) && !camera->present && !camera->removed) {
      return FALSE;
    }
  }
  return TRUE;
}

/* Completes the UNPLUG requests that are done. */
static void finish_unplug_waits(struct bus_device* bus) {
  for (;;) {
    IRP* done = NULL;
    LIST_ENTRY* entry;
    KIRQL irql = lock_bus();
    for (entry = bus->unplug_waits.Flink; entry != &bus->unplug_waits; entry = entry->Flink) {
      IRP* wait = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
      if (unplug_done(bus, (ULONG)(ULONG_PTR)wait->Tail.Overlay.DriverContext[1])) {
        RemoveEntryList(entry);
        IoSetCancelRoutine(wait, NULL);
        done = wait;
        break;
      }
    }
    unlock_bus(irql);
    if (done == NULL) {
      return;
    }
    test_bus_complete(done, STATUS_SUCCESS, 0);
  }
}

/* Marks the cameras `number` names (0: all) unplugged. Lock held. Returns how many were present.
 */
static ULONG mark_unplugged(struct bus_device* bus, ULONG number) {
  ULONG count = 0;
  LIST_ENTRY* entry;
  for (entry = bus->children.Flink; entry != &bus->children; entry = entry->Flink) {
    struct camera_device* camera = CONTAINING_RECORD(entry, struct camera_device, link);
    if ((number == 0 || camera->number == number) && camera->present) {
      camera->present = FALSE;
      /* A camera the system never heard of will see no removal. */
      camera->removed = !camera->reported;
      ++count;
    }
  }
  return count;
}

NTSTATUS test_bus_unplug(struct bus_device* bus, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  qmx_test_unplug request;
  BOOLEAN known = FALSE;
  BOOLEAN held;
  LIST_ENTRY* entry;
  ULONG unplugged;
  KIRQL irql;
  if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof request) {
    return test_bus_complete(irp, STATUS_INVALID_PARAMETER, 0);
  }
  RtlCopyMemory(&request, irp->AssociatedIrp.SystemBuffer, sizeof request);
  irql = lock_bus();
  for (entry = bus->children.Flink; entry != &bus->children; entry = entry->Flink) {
    if (CONTAINING_RECORD(entry, struct camera_device, link)->number == request.camera) {
      known = TRUE;
    }
  }
  if (request.camera != 0 && !known) {
    unlock_bus(irql);
    return test_bus_complete(irp, STATUS_NOT_FOUND, 0);
  }
  unplugged = mark_unplugged(bus, request.camera);
  irp->Tail.Overlay.DriverContext[1] = (void*)(ULONG_PTR)request.camera;
  held = test_bus_hold(irp, &bus->unplug_waits, NULL);
  unlock_bus(irql);
  /* Requests still pending end as a removal ends them; later ones are refused. */
  test_bus_end_requests(bus, NULL, STATUS_DEVICE_NOT_CONNECTED);
  if (!held) {
    test_bus_complete(irp, STATUS_CANCELLED, 0);
  }
  if (unplugged > 0) {
    DbgPrint("qmx test bus: %lu camera(s) unplugged\n", (unsigned long)unplugged);
    IoInvalidateDeviceRelations(bus->pdo, BusRelations);
  }
  finish_unplug_waits(bus);
  return STATUS_PENDING;
}

void test_bus_unplug_all(struct bus_device* bus) {
  ULONG unplugged;
  KIRQL irql = lock_bus();
  unplugged = mark_unplugged(bus, 0);
  unlock_bus(irql);
  test_bus_end_requests(bus, NULL, STATUS_DEVICE_NOT_CONNECTED);
  if (unplugged > 0) {
    IoInvalidateDeviceRelations(bus->pdo, BusRelations);
  }
  finish_unplug_waits(bus);
}

/* ---- The cameras' Plug and Play ------------------------------------------------------------- */

static NTSTATUS camera_query_id(struct camera_device* camera, IRP* irp) {
  WCHAR* text = NULL;
  switch (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryId.IdType) {
  case BusQueryDeviceID:
    text = pool_text(child_device_id, FALSE);
    break;
  case BusQueryHardwareIDs:
    text = pool_text(child_device_id, TRUE);
    break;
  case BusQueryCompatibleIDs:
    /* None: no driver matches, and the camera runs raw (Wine registers the device only when it
     * gets a list, even an empty one). */
    text = pool_text(L"", TRUE);
    break;
  case BusQueryInstanceID:
    text = pool_text(camera->instance, FALSE);
    break;
  default:
    return irp->IoStatus.Status;
  }
  if (text == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  irp->IoStatus.Information = (ULONG_PTR)text;
  return STATUS_SUCCESS;
}

static NTSTATUS camera_start(struct camera_device* camera) {
  NTSTATUS status = STATUS_SUCCESS;
  IRP* plug;
  KIRQL irql;
  if (camera->interface_link.Buffer == NULL) {
    status = IoRegisterDeviceInterface(camera->self, &camera_interface_class, NULL,
                                       &camera->interface_link);
  }
  if (NT_SUCCESS(status) && !camera->interface_on) {
    status = IoSetDeviceInterfaceState(&camera->interface_link, TRUE);
    camera->interface_on = NT_SUCCESS(status);
  }
  irql = lock_bus();
  camera->started = TRUE;
  plug = camera->plug_wait;
  camera->plug_wait = NULL;
  if (plug != NULL) {
    IoSetCancelRoutine(plug, NULL);
  }
  unlock_bus(irql);
  if (plug != NULL) {
    qmx_test_plugged* out = plug->AssociatedIrp.SystemBuffer;
    const UNICODE_STRING* link = &camera->interface_link;
    const ULONG length = link->Length / sizeof(WCHAR);
    ULONG i;
    RtlZeroMemory(out, sizeof *out);
    out->camera = camera->number;
    /* "\??\..." names the interface in the kernel; a program opens it as "\\?\...". */
    for (i = 0; NT_SUCCESS(status) && i < length && i + 1 < QMX_TEST_BUS_PATH_CAPACITY; ++i) {
      out->path[i] = (char)link->Buffer[i];
    }
    if (length > 1) {
      out->path[1] = '\\';
    }
    DbgPrint("qmx test bus: camera %lu started: %s, status %#lx\n", (unsigned long)camera->number,
             out->path, (unsigned long)status);
    test_bus_complete(plug, status, NT_SUCCESS(status) ? sizeof *out : 0);
  }
  return status;
}

static void camera_interface_off(struct camera_device* camera) {
  if (camera->interface_on) {
    IoSetDeviceInterfaceState(&camera->interface_link, FALSE);
    camera->interface_on = FALSE;
  }
}

static NTSTATUS camera_remove(struct camera_device* camera) {
  BOOLEAN gone;
  KIRQL irql;
  camera_interface_off(camera);
  irql = lock_bus();
  gone = !camera->present;
  if (gone) {
    camera->removed = TRUE;
  }
  unlock_bus(irql);
  /* The device object stays until the bus goes: the module may still hold files of it, whose
   * requests are refused as unplugged. */
  if (gone) {
    test_bus_end_requests(camera->bus, camera, STATUS_DEVICE_NOT_CONNECTED);
    finish_unplug_waits(camera->bus);
  }
  return STATUS_SUCCESS;
}

static NTSTATUS camera_relations(struct camera_device* camera, IRP* irp) {
  DEVICE_RELATIONS* relations;
  if (IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type !=
      TargetDeviceRelation) {
    return irp->IoStatus.Status;
  }
  relations = ExAllocatePool(PagedPool, sizeof *relations);
  if (relations == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  relations->Count = 1;
  relations->Objects[0] = camera->self;
  ObReferenceObject(camera->self);
  irp->IoStatus.Information = (ULONG_PTR)relations;
  return STATUS_SUCCESS;
}

static NTSTATUS camera_pnp(struct camera_device* camera, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status = irp->IoStatus.Status;
  switch (stack->MinorFunction) {
  case IRP_MN_QUERY_ID:
    status = camera_query_id(camera, irp);
    break;
  case IRP_MN_QUERY_CAPABILITIES: {
    DEVICE_CAPABILITIES* caps = stack->Parameters.DeviceCapabilities.Capabilities;
    caps->RawDeviceOK = 1;
    caps->SurpriseRemovalOK = 1;
    caps->Removable = 1;
    caps->UniqueID = 1;
    status = STATUS_SUCCESS;
    break;
  }
  case IRP_MN_START_DEVICE:
    status = camera_start(camera);
    break;
  case IRP_MN_SURPRISE_REMOVAL:
    camera_interface_off(camera);
    status = STATUS_SUCCESS;
    break;
  case IRP_MN_REMOVE_DEVICE:
    status = camera_remove(camera);
    break;
  case IRP_MN_QUERY_DEVICE_RELATIONS:
    status = camera_relations(camera, irp);
    break;
  case IRP_MN_QUERY_REMOVE_DEVICE:
  case IRP_MN_CANCEL_REMOVE_DEVICE:
  case IRP_MN_QUERY_STOP_DEVICE:
  case IRP_MN_CANCEL_STOP_DEVICE:
  case IRP_MN_STOP_DEVICE:
    status = STATUS_SUCCESS;
    break;
  default:
    break;
  }
  return test_bus_complete(irp, status, irp->IoStatus.Information);
}

/* ---- The bus's Plug and Play ---------------------------------------------------------------- */

/* The cameras plugged in now, as the system asks for them. */
static NTSTATUS bus_relations(struct bus_device* bus, IRP* irp) {
  DEVICE_RELATIONS* relations;
  LIST_ENTRY* entry;
  ULONG count = 0;
  KIRQL irql;
  /* Counted and filled in one pass under the lock, in room for every child. */
  irql = lock_bus();
  for (entry = bus->children.Flink; entry != &bus->children; entry = entry->Flink) {
    ++count;
  }
  unlock_bus(irql);
  relations = ExAllocatePool(PagedPool, sizeof *relations + count * sizeof(DEVICE_OBJECT*));
  if (relations == NULL) {
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  relations->Count = 0;
  irql = lock_bus();
  for (entry = bus->children.Flink; entry != &bus->children; entry = entry->Flink) {
    struct camera_device* camera = CONTAINING_RECORD(entry, struct camera_device, link);
    if (camera->present && relations->Count < count) {
      camera->reported = TRUE;
      relations->Objects[relations->Count++] = camera->self;
      ObReferenceObject(camera->self);
    }
  }
  unlock_bus(irql);
  irp->IoStatus.Information = (ULONG_PTR)relations;
  return STATUS_SUCCESS;
}

static NTSTATUS bus_remove(struct bus_device* bus, IRP* irp) {
  NTSTATUS status;
  if (bus->control_on) {
    IoSetDeviceInterfaceState(&bus->control_link, FALSE);
    bus->control_on = FALSE;
  }
  test_bus_end_everything(bus);
  while (!IsListEmpty(&bus->children)) {
    struct camera_device* camera =
        CONTAINING_RECORD(RemoveHeadList(&bus->children), struct camera_device, link);
    camera_interface_off(camera);
    RtlFreeUnicodeString(&camera->interface_link);
    IoDeleteDevice(camera->self);
  }
  irp->IoStatus.Status = STATUS_SUCCESS;
  status = pass_down(bus, irp);
  IoDetachDevice(bus->lower);
  RtlFreeUnicodeString(&bus->control_link);
  IoDeleteDevice(bus->self);
  DbgPrint("qmx test bus: removed\n");
  return status;
}

static NTSTATUS bus_pnp(struct bus_device* bus, IRP* irp) {
  IO_STACK_LOCATION* stack = IoGetCurrentIrpStackLocation(irp);
  NTSTATUS status;
  switch (stack->MinorFunction) {
  case IRP_MN_START_DEVICE:
    status = IoSetDeviceInterfaceState(&bus->control_link, TRUE);
    bus->control_on = NT_SUCCESS(status);
    DbgPrint("qmx test bus: started, control interface status %#lx\n", (unsigned long)status);
    irp->IoStatus.Status = STATUS_SUCCESS;
    break;
  case IRP_MN_QUERY_DEVICE_RELATIONS:
    if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) {
      status = bus_relations(bus, irp);
      if (!NT_SUCCESS(status)) {
        return test_bus_complete(irp, status, 0);
      }
      irp->IoStatus.Status = STATUS_SUCCESS;
    }
    break;
  case IRP_MN_REMOVE_DEVICE:
    return bus_remove(bus, irp);
  case IRP_MN_SURPRISE_REMOVAL:
  case IRP_MN_QUERY_REMOVE_DEVICE:
  case IRP_MN_CANCEL_REMOVE_DEVICE:
  case IRP_MN_QUERY_STOP_DEVICE:
  case IRP_MN_CANCEL_STOP_DEVICE:
  case IRP_MN_STOP_DEVICE:
    irp->IoStatus.Status = STATUS_SUCCESS;
    break;
  default:
    break;
  }
  return pass_down(bus, irp);
}

NTSTATUS test_bus_pnp(DEVICE_OBJECT* device, IRP* irp) {
  if (*(enum device_role*)device->DeviceExtension == role_camera) {
    return camera_pnp(device->DeviceExtension, irp);
  }
  return bus_pnp(device->DeviceExtension, irp);
}

/* ---- Entry ---------------------------------------------------------------------------------- */

static NTSTATUS NTAPI dispatch_create(DEVICE_OBJECT* device, IRP* irp) {
  return test_bus_create(device, irp);
}

static NTSTATUS NTAPI dispatch_close(DEVICE_OBJECT* device, IRP* irp) {
  return test_bus_close(device, irp);
}

static NTSTATUS NTAPI dispatch_device_control(DEVICE_OBJECT* device, IRP* irp) {
  return test_bus_device_control(device, irp);
}

static NTSTATUS NTAPI dispatch_pnp(DEVICE_OBJECT* device, IRP* irp) {
  return test_bus_pnp(device, irp);
}

static NTSTATUS NTAPI dispatch_power(DEVICE_OBJECT* device, IRP* irp) {
  struct bus_device* bus = device->DeviceExtension;
  PoStartNextPowerIrp(irp);
  if (bus->role == role_camera) {
    return test_bus_complete(irp, STATUS_SUCCESS, 0);
  }
  IoSkipCurrentIrpStackLocation(irp);
  return PoCallDriver(bus->lower, irp);
}

static NTSTATUS NTAPI add_device(DRIVER_OBJECT* driver, DEVICE_OBJECT* pdo) {
  struct bus_device* bus;
  DEVICE_OBJECT* device;
  NTSTATUS status =
      IoCreateDevice(driver, sizeof(struct bus_device), NULL, FILE_DEVICE_BUS_EXTENDER,
                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
  if (!NT_SUCCESS(status)) {
    return status;
  }
  bus = device->DeviceExtension;
  RtlZeroMemory(bus, sizeof *bus);
  bus->role = role_bus;
  bus->self = device;
  bus->pdo = pdo;
  test_bus_forwarding_init(bus);
  status = IoRegisterDeviceInterface(pdo, &control_interface_class, NULL, &bus->control_link);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  bus->lower = IoAttachDeviceToDeviceStack(device, pdo);
  device->Flags |= DO_BUFFERED_IO;
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

static void NTAPI driver_unload(DRIVER_OBJECT* driver) {
  (void)driver;
}

NTSTATUS NTAPI DriverEntry(DRIVER_OBJECT* driver, UNICODE_STRING* registry) {
  (void)registry;
  driver->DriverExtension->AddDevice = add_device;
  driver->DriverUnload = driver_unload;
  driver->MajorFunction[IRP_MJ_CREATE] = dispatch_create;
  driver->MajorFunction[IRP_MJ_CLEANUP] = dispatch_close;
  driver->MajorFunction[IRP_MJ_CLOSE] = dispatch_close;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = dispatch_device_control;
  driver->MajorFunction[IRP_MJ_PNP] = dispatch_pnp;
  driver->MajorFunction[IRP_MJ_POWER] = dispatch_power;
  return STATUS_SUCCESS;
}
