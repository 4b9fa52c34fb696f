// Camera data path, frame assembly: checks each image packet, keeps the packets of one frame in
// order, unpacks their pixels into a frame slot of the host's buffer, and hands completed frames
// to the filled queue.
#pragma once

#include "camera/frame_path.h"

#include <cstdint>

namespace qmx {

struct image_completion;

constexpr std::uint16_t packet_magic = 0x9090;
constexpr std::int32_t packet_header_bytes = 16;
constexpr std::int32_t max_packet_bytes = 16384;
constexpr std::uint16_t packet_index_mask = 0x7FFF;
constexpr std::uint16_t last_packet_bit = 0x8000;
constexpr std::uint32_t max_pixel_value = 1023;

// The image pool's handler: the completion's context is the camera's frame path. Runs on the USB
// layer's callback thread of the image endpoint, one completion at a time; always asks for
// resubmission (the transport decides whether the transfer really goes out again).
void assemble_packet(const image_completion& completion);

// The work of assemble_packet on a frame path, for the `received` bytes at `packet` (the bytes
// the driver really delivered; none beyond them is read). Same thread rules as assemble_packet;
// the caller holds the path's `path_mutex` when a preparation may run at the same time.
void assemble_received_packet(frame_path& path, const unsigned char* packet, std::int32_t received);

// Takes a slot to fill without waiting: a free one, else the oldest completed frame the host has
// not taken (counted as overwritten). True when `fill_node` now names a slot.
bool acquire_fill_slot(frame_path& path);
// Gives the slot being filled, if any, back to the free queue.
void drop_fill_slot(frame_assembly_state& a);

} // namespace qmx
