// Camera data path, camera object: construction and destruction orders, and re-attachment of a
// transport.
#include "camera/camera.h"

#include "camera/frame_assembler.h"

#include <utility>

namespace qmx {

namespace {

// Adapts a channel completion to the completion block named by its context.
void notify_block(const channel_completion& completion) {
  signal_completion(*static_cast<completion_block*>(completion.context), completion.failed,
                    completion.received_length);
}

// The old transport's channel transfers are not the new one's: a mark left by a wait that ran
// out on the old transport must not hold back the new transfers.
void forget_in_flight(completion_block& block) {
  qmx::lock_guard lock(block.lock);
  block.in_flight = false;
}

} // namespace

camera::camera(libusb_device* device) {
  serial.tx_done.timeout_ms = serial_timeout_ms;
  serial.rx_done.timeout_ms = serial_timeout_ms;
  transport = make_camera_transport(*this, device);
  channel.buffers = &serial;
  channel.transport = transport.get();
  parameters = acquisition_parameters{};
  parameters.transport_failed = !transport;
}

camera::~camera() {
  {
    // No transaction may still be using the transport or the blocks.
    qmx::lock_guard lock(channel.lock);
  }
  // Declared after the blocks and the assembly state, so it would be destroyed before them
  // anyway; reset here so the order does not hang on declaration order.
  channel.transport = nullptr;
  transport.reset();
}

std::unique_ptr<usb_transport> make_camera_transport(camera& c, libusb_device* device) {
  if (device != nullptr) {
    c.usb_speed.store(libusb_get_device_speed(device));
  }
  return create_transport(device, command_endpoint, reply_endpoint, image_endpoint,
                          image_transfer_count, &c.frames, assemble_packet, image_timeout_ms,
                          &c.serial.tx_done, notify_block, c.serial.tx_buffer, &c.serial.rx_done,
                          notify_block, c.serial.rx_buffer, channel_timeout_ms,
                          image_transfer_bytes, channel_buffer_bytes);
}

void replace_transport(camera& c, std::unique_ptr<usb_transport> replacement) {
  {
    qmx::lock_guard lock(c.channel.lock);
    std::swap(c.transport, replacement);
    c.channel.transport = c.transport.get();
    forget_in_flight(c.serial.tx_done);
    forget_in_flight(c.serial.rx_done);
    c.channel.reply_may_be_left = false; // a camera plugged in again holds no old reply
  }
  // `replacement` now holds the old transport; closing it takes its 500 ms pause outside the
  // channel lock.
  destroy_transport(std::move(replacement));
}

} // namespace qmx
