/* USB access layer: the libusb-1.0-style interface that the camera module offers and exports.
 * Record layouts, numbers and the calling convention are those of libusb-1.0, so that code built
 * against the libusb-1.0 header can call these exports. Only the subset below exists. */
#ifndef QMX_LIBUSB_H
#define QMX_LIBUSB_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#if defined(_WIN32)
#define LIBUSB_CALL __stdcall
#else
#define LIBUSB_CALL
#endif

#if defined(_WIN32)
#if defined(QMX_MODULE_BUILDING)
#define QMX_LIBUSB_API __declspec(dllexport)
#else
#define QMX_LIBUSB_API __declspec(dllimport)
#endif
#else
#define QMX_LIBUSB_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct libusb_context libusb_context;
typedef struct libusb_device libusb_device;
typedef struct libusb_device_handle libusb_device_handle;

enum libusb_error {
  LIBUSB_SUCCESS = 0,
  LIBUSB_ERROR_IO = -1,
  LIBUSB_ERROR_INVALID_PARAM = -2,
  LIBUSB_ERROR_ACCESS = -3,
  LIBUSB_ERROR_NO_DEVICE = -4,
  LIBUSB_ERROR_NOT_FOUND = -5,
  LIBUSB_ERROR_BUSY = -6,
  LIBUSB_ERROR_TIMEOUT = -7,
  LIBUSB_ERROR_OVERFLOW = -8,
  LIBUSB_ERROR_PIPE = -9,
  LIBUSB_ERROR_INTERRUPTED = -10,
  LIBUSB_ERROR_NO_MEM = -11,
  LIBUSB_ERROR_NOT_SUPPORTED = -12,
  LIBUSB_ERROR_OTHER = -99
};

enum libusb_transfer_status {
  LIBUSB_TRANSFER_COMPLETED = 0,
  LIBUSB_TRANSFER_ERROR = 1,
  LIBUSB_TRANSFER_TIMED_OUT = 2,
  LIBUSB_TRANSFER_CANCELLED = 3,
  LIBUSB_TRANSFER_STALL = 4,
  LIBUSB_TRANSFER_NO_DEVICE = 5,
  LIBUSB_TRANSFER_OVERFLOW = 6
};

enum libusb_speed {
  LIBUSB_SPEED_UNKNOWN = 0,
  LIBUSB_SPEED_LOW = 1,
  LIBUSB_SPEED_FULL = 2,
  LIBUSB_SPEED_HIGH = 3,
  LIBUSB_SPEED_SUPER = 4
};

enum libusb_capability { LIBUSB_CAP_HAS_CAPABILITY = 0x0000, LIBUSB_CAP_HAS_HOTPLUG = 0x0001 };

typedef enum {
  LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED = 1,
  LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT = 2
} libusb_hotplug_event;

typedef enum { LIBUSB_HOTPLUG_NO_FLAGS = 0, LIBUSB_HOTPLUG_ENUMERATE = 1 } libusb_hotplug_flag;

#define LIBUSB_HOTPLUG_MATCH_ANY (-1)

struct libusb_device_descriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t bcdUSB;
  uint8_t bDeviceClass;
  uint8_t bDeviceSubClass;
  uint8_t bDeviceProtocol;
  uint8_t bMaxPacketSize0;
  uint16_t idVendor;
  uint16_t idProduct;
  uint16_t bcdDevice;
  uint8_t iManufacturer;
  uint8_t iProduct;
  uint8_t iSerialNumber;
  uint8_t bNumConfigurations;
};

struct libusb_endpoint_descriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bEndpointAddress;
  uint8_t bmAttributes;
  uint16_t wMaxPacketSize;
  uint8_t bInterval;
  uint8_t bRefresh;
  uint8_t bSynchAddress;
  const unsigned char* extra;
  int extra_length;
};

struct libusb_interface_descriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint8_t bInterfaceNumber;
  uint8_t bAlternateSetting;
  uint8_t bNumEndpoints;
  uint8_t bInterfaceClass;
  uint8_t bInterfaceSubClass;
  uint8_t bInterfaceProtocol;
  uint8_t iInterface;
  const struct libusb_endpoint_descriptor* endpoint;
  const unsigned char* extra;
  int extra_length;
};

struct libusb_interface {
  const struct libusb_interface_descriptor* altsetting;
  int num_altsetting;
};

struct libusb_config_descriptor {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t wTotalLength;
  uint8_t bNumInterfaces;
  uint8_t bConfigurationValue;
  uint8_t iConfiguration;
  uint8_t bmAttributes;
  uint8_t MaxPower;
  const struct libusb_interface* interface;
  const unsigned char* extra;
  int extra_length;
};

struct libusb_iso_packet_descriptor {
  unsigned int length;
  unsigned int actual_length;
  enum libusb_transfer_status status;
};

struct libusb_transfer;
typedef void(LIBUSB_CALL* libusb_transfer_cb_fn)(struct libusb_transfer* transfer);

struct libusb_transfer {
  libusb_device_handle* dev_handle;
  uint8_t flags;
  unsigned char endpoint;
  unsigned char type;
  unsigned int timeout;
  enum libusb_transfer_status status;
  int length;
  int actual_length;
  libusb_transfer_cb_fn callback;
  void* user_data;
  unsigned char* buffer;
  int num_iso_packets;
  struct libusb_iso_packet_descriptor iso_packet_desc[1];
};

typedef int libusb_hotplug_callback_handle;
typedef int(LIBUSB_CALL* libusb_hotplug_callback_fn)(libusb_context* ctx, libusb_device* device,
                                                     libusb_hotplug_event event, void* user_data);

QMX_LIBUSB_API int LIBUSB_CALL libusb_init(libusb_context** ctx);
QMX_LIBUSB_API void LIBUSB_CALL libusb_exit(libusb_context* ctx);
QMX_LIBUSB_API int LIBUSB_CALL libusb_handle_events(libusb_context* ctx);
QMX_LIBUSB_API int LIBUSB_CALL libusb_event_handler_active(libusb_context* ctx);
QMX_LIBUSB_API int LIBUSB_CALL libusb_has_capability(uint32_t capability);
QMX_LIBUSB_API ssize_t LIBUSB_CALL libusb_get_device_list(libusb_context* ctx,
                                                          libusb_device*** list);
QMX_LIBUSB_API void LIBUSB_CALL libusb_free_device_list(libusb_device** list, int unref_devices);
QMX_LIBUSB_API void LIBUSB_CALL libusb_unref_device(libusb_device* dev);
QMX_LIBUSB_API int LIBUSB_CALL libusb_get_device_descriptor(libusb_device* dev,
                                                            struct libusb_device_descriptor* desc);
QMX_LIBUSB_API int LIBUSB_CALL libusb_get_config_descriptor(
    libusb_device* dev, uint8_t config_index, struct libusb_config_descriptor** config);
QMX_LIBUSB_API void LIBUSB_CALL
libusb_free_config_descriptor(struct libusb_config_descriptor* config);
QMX_LIBUSB_API int LIBUSB_CALL libusb_get_config_descriptor_by_value(
    libusb_device* dev, uint8_t bConfigurationValue, struct libusb_config_descriptor** config);
QMX_LIBUSB_API int LIBUSB_CALL libusb_get_device_speed(libusb_device* dev);
QMX_LIBUSB_API libusb_device* LIBUSB_CALL libusb_get_device(libusb_device_handle* dev_handle);
QMX_LIBUSB_API int LIBUSB_CALL libusb_open(libusb_device* dev, libusb_device_handle** dev_handle);
QMX_LIBUSB_API void LIBUSB_CALL libusb_close(libusb_device_handle* dev_handle);
QMX_LIBUSB_API libusb_device_handle* LIBUSB_CALL
libusb_open_device_with_vid_pid(libusb_context* ctx, uint16_t vendor_id, uint16_t product_id);
QMX_LIBUSB_API int LIBUSB_CALL libusb_claim_interface(libusb_device_handle* dev_handle,
                                                      int interface_number);
QMX_LIBUSB_API int LIBUSB_CALL libusb_release_interface(libusb_device_handle* dev_handle,
                                                        int interface_number);
/* Departure from libusb-1.0: the argument is the data capacity in bytes of the new transfer. */
QMX_LIBUSB_API struct libusb_transfer* LIBUSB_CALL libusb_alloc_transfer(int capacity);
QMX_LIBUSB_API int LIBUSB_CALL libusb_submit_transfer(struct libusb_transfer* transfer);
QMX_LIBUSB_API int LIBUSB_CALL libusb_cancel_transfer(struct libusb_transfer* transfer);
QMX_LIBUSB_API void LIBUSB_CALL libusb_free_transfer(struct libusb_transfer* transfer);
QMX_LIBUSB_API int LIBUSB_CALL libusb_bulk_transfer(libusb_device_handle* dev_handle,
                                                    unsigned char endpoint, unsigned char* data,
                                                    int length, int* actual_length,
                                                    unsigned int timeout);
QMX_LIBUSB_API int LIBUSB_CALL libusb_control_transfer(libusb_device_handle* dev_handle,
                                                       uint8_t request_type, uint8_t bRequest,
                                                       uint16_t wValue, uint16_t wIndex,
                                                       unsigned char* data, uint16_t wLength,
                                                       unsigned int timeout);
QMX_LIBUSB_API int LIBUSB_CALL
libusb_hotplug_register_callback(libusb_context* ctx, int events, int flags, int vendor_id,
                                 int product_id, int dev_class, libusb_hotplug_callback_fn cb_fn,
                                 void* user_data, libusb_hotplug_callback_handle* callback_handle);
QMX_LIBUSB_API void LIBUSB_CALL libusb_hotplug_deregister_callback(
    libusb_context* ctx, libusb_hotplug_callback_handle callback_handle);

#ifdef __cplusplus
}
#endif

#endif
