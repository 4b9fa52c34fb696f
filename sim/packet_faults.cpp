// Simulator, camera model: seeded packet faults.
#include "sim/packet_faults.h"

#include <utility>

namespace sim {

namespace {

// One draw per call whatever the probability, so that changing one chance does not shift the
// draws of the others and a random seed value keeps its meaning across settings.
bool happens(double chance, std::mt19937& random) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  return unit(random) < chance;
}

// What the faults do to one packet.
struct packet_damage {
  bool drop = false;
  bool corrupt = false;
  bool shorten = false;
  bool repeat = false;
};

// Appends `span` to `result` as `damage` leaves it (not at all, corrupted, shortened, twice),
// counting each fault and marking the frame.
void place_packet(packet_span span, const packet_damage& damage, frame_packets& frame,
                  std::vector<packet_span>& result, packet_fault_counters& counters) {
  if (damage.drop) {
    ++counters.dropped;
    frame.damaged = true;
    frame.packet_dropped = true;
    return;
  }
  if (damage.corrupt) {
    span.corrupt_magic = true;
    ++counters.corrupted;
    frame.damaged = true;
  }
  if (damage.shorten && span.length > packet_header_bytes) {
    span.length = packet_header_bytes + (span.length - packet_header_bytes) / 2;
    ++counters.shortened;
    frame.damaged = true;
  }
  result.push_back(span);
  if (damage.repeat) {
    result.push_back(span);
    ++counters.repeated;
    frame.damaged = true;
  }
}

} // namespace

void apply_packet_faults(frame_packets& frame, const packet_fault_settings& settings,
                         std::mt19937& random, packet_fault_counters& counters) {
  std::vector<packet_span> result;
  result.reserve(frame.packets.size() * 2);
  for (const packet_span& original : frame.packets) {
    packet_span span = original;
    const bool corrupt = happens(settings.corrupt_magic, random);
    const bool drop = happens(settings.drop, random);
    const bool repeat = happens(settings.repeat, random);
    const bool shorten = happens(settings.shorten, random);
    place_packet(span, {drop, corrupt, shorten, repeat}, frame, result, counters);
  }
  // Reordering runs over the final list so that a swap never brings back a dropped packet.
  for (std::size_t i = 0; i + 1 < result.size(); ++i) {
    if (happens(settings.reorder, random)) {
      std::swap(result[i], result[i + 1]);
      ++counters.reordered;
      frame.damaged = true;
      ++i; // a swapped packet is not swapped again
    }
  }
  frame.packets = std::move(result);
}

void apply_scripted_faults(frame_packets& frame, std::vector<scripted_packet_fault>& script,
                           packet_fault_counters& counters) {
  std::vector<scripted_packet_fault> mine;
  for (auto it = script.begin(); it != script.end();) {
    if (it->frame_counter == frame.frame_number && it->packet < frame.packets.size()) {
      mine.push_back(*it);
      it = script.erase(it);
    } else {
      ++it;
    }
  }
  if (mine.empty()) {
    return;
  }
  std::vector<packet_span> result;
  result.reserve(frame.packets.size() + mine.size() * 2);
  for (std::size_t i = 0; i < frame.packets.size(); ++i) {
    packet_span span = frame.packets[i];
    packet_damage damage;
    std::uint32_t foreign_delta = 0;
    for (const scripted_packet_fault& fault : mine) {
      if (fault.packet != i) {
        continue;
      }
      switch (fault.kind) {
      case scripted_fault_kind::drop:
        damage.drop = true;
        break;
      case scripted_fault_kind::repeat:
        damage.repeat = true;
        break;
      case scripted_fault_kind::corrupt:
        damage.corrupt = true;
        break;
      case scripted_fault_kind::shorten:
        damage.shorten = true;
        break;
      case scripted_fault_kind::foreign:
        foreign_delta = fault.argument == 0 ? 1 : fault.argument;
        break;
      case scripted_fault_kind::unplug:
        span.unplug_after = true;
        ++counters.unplugs_in_frame;
        break;
      }
    }
    if (foreign_delta != 0) {
      packet_span stranger = frame.packets[i];
      stranger.frame_counter_delta = foreign_delta;
      result.push_back(stranger);
      ++counters.foreign;
      frame.damaged = true;
    }
    place_packet(span, damage, frame, result, counters);
  }
  frame.packets = std::move(result);
}

} // namespace sim
