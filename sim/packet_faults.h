// Simulator, camera model: seeded faults applied to a frame's packets before they are sent.
#pragma once

#include "sim/frame_packets.h"

#include <cstdint>
#include <random>
#include <vector>

namespace sim {

// Chance of each fault per packet, 0 (never) to 1 (always). Faults are drawn packet by packet in
// a fixed order, so a given random seed value always yields the same damaged frame.
struct packet_fault_settings {
  double corrupt_magic = 0.0; // the magic word is overwritten; the receiver must ignore it
  double drop = 0.0;          // the packet is lost
  double repeat = 0.0;        // the packet is sent twice in a row
  double reorder = 0.0;       // the packet is swapped with the one after it
  double shorten = 0.0;       // the packet loses the back half of its payload

  [[nodiscard]] bool any() const {
    return corrupt_magic > 0.0 || drop > 0.0 || repeat > 0.0 || reorder > 0.0 || shorten > 0.0;
  }
};

// How many of each fault were applied; accumulated across calls.
struct packet_fault_counters {
  std::uint64_t corrupted = 0;
  std::uint64_t dropped = 0;
  std::uint64_t repeated = 0;
  std::uint64_t reordered = 0;
  std::uint64_t shortened = 0;
  std::uint64_t foreign = 0;          // packets of another frame sent inside a frame
  std::uint64_t unplugs_in_frame = 0; // unplugs scheduled after a packet
};

// One fault of one packet of one frame, chosen by a test rather than drawn at random.
enum class scripted_fault_kind { drop = 1, repeat, corrupt, shorten, foreign, unplug };

struct scripted_packet_fault {
  std::uint32_t frame_counter = 0; // the frame it applies to
  std::uint32_t packet = 0;        // index of the packet in the frame's split
  scripted_fault_kind kind = scripted_fault_kind::drop;
  std::uint32_t argument = 0; // foreign: frame counter offset of the inserted packet (0 means 1)
};

// Applies the faults to `frame` in place: packet spans are removed, duplicated, swapped,
// shortened or marked to carry a corrupted magic word. Draws from `random`.
void apply_packet_faults(frame_packets& frame, const packet_fault_settings& settings,
                         std::mt19937& random, packet_fault_counters& counters);

// Applies the scripted faults meant for `frame` (by its frame counter) and removes them from
// `script`; they act on the packets of the undamaged split, before any random fault. Several
// faults of one packet combine (a packet both repeated and corrupted is sent twice, corrupted).
void apply_scripted_faults(frame_packets& frame, std::vector<scripted_packet_fault>& script,
                           packet_fault_counters& counters);

} // namespace sim
