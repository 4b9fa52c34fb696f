// USB access layer: the camera controller driver's two request codes and the 38-byte request
// header sent with every request.
#pragma once

#include <cstddef>
#include <cstdint>

namespace usb {

constexpr std::uint32_t DRIVER_REQUEST_CONTROL = 0x220020;  // endpoint-0 control request
constexpr std::uint32_t DRIVER_REQUEST_ENDPOINT = 0x220024; // transfer on a bulk endpoint

constexpr std::uint8_t UART_TX_ENDPOINT = 0x02;
constexpr std::uint8_t UART_RX_ENDPOINT = 0x82;
constexpr std::uint8_t DATA_ENDPOINT = 0x81;
constexpr std::uint8_t EVENT_ENDPOINT = 0x83;

#pragma pack(push, 1)
// Little-endian on the wire, as on every system the module runs on.
struct t_usb_transfer_header_struct_packed {
  std::uint8_t bmRequestType; // bit 7 direction, bits 5-6 type, bits 0-1 recipient
  std::uint8_t bRequest;
  std::uint16_t wValue;
  std::uint16_t wIndex;
  std::uint16_t wLength;
  std::uint32_t timeout; // 5 descriptor read, 1 control transfers, 0 endpoint transfers
  std::uint8_t reserved_1;
  std::uint8_t endpoint_address; // 0 for control requests
  std::uint8_t reserved_2[16];
  std::uint32_t data_offset; // always 38: the data follows the header
  std::uint32_t data_length;
};
#pragma pack(pop)

constexpr std::uint32_t transfer_header_size = 38;
static_assert(sizeof(t_usb_transfer_header_struct_packed) == transfer_header_size);
static_assert(offsetof(t_usb_transfer_header_struct_packed, wValue) == 2);
static_assert(offsetof(t_usb_transfer_header_struct_packed, wLength) == 6);
static_assert(offsetof(t_usb_transfer_header_struct_packed, timeout) == 8);
static_assert(offsetof(t_usb_transfer_header_struct_packed, endpoint_address) == 13);
static_assert(offsetof(t_usb_transfer_header_struct_packed, data_offset) == 30);
static_assert(offsetof(t_usb_transfer_header_struct_packed, data_length) == 34);

} // namespace usb
