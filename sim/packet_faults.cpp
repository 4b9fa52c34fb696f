// Simulator, camera model: seeded packet faults.
#include "sim/packet_faults.h"

#include <utility>

namespace sim {

namespace {

// One draw per call whatever the probability, so that changing one chance does not shift the
// draws of the others and a random seed value keeps its meaning across settings.
bool happens(double chance, std::mt19937 &random) {
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  return unit(random) < chance;
}

} // namespace

void apply_packet_faults(frame_packets &frame, const packet_fault_settings &settings,
                         std::mt19937 &random, packet_fault_counters &counters) {
  std::vector<packet_span> result;
  result.reserve(frame.packets.size() * 2);
  for (const packet_span &original : frame.packets) {
    packet_span span = original;
    const bool corrupt = happens(settings.corrupt_magic, random);
    const bool drop = happens(settings.drop, random);
    const bool repeat = happens(settings.repeat, random);
    const bool shorten = happens(settings.shorten, random);
    if (drop) {
      ++counters.dropped;
      continue;
    }
    if (corrupt) {
      span.corrupt_magic = true;
      ++counters.corrupted;
    }
    if (shorten && span.length > packet_header_bytes) {
      span.length = packet_header_bytes + (span.length - packet_header_bytes) / 2;
      ++counters.shortened;
    }
    result.push_back(span);
    if (repeat) {
      result.push_back(span);
      ++counters.repeated;
    }
  }
  // Reordering runs over the final list so that a swap never brings back a dropped packet.
  for (std::size_t i = 0; i + 1 < result.size(); ++i) {
    if (happens(settings.reorder, random)) {
      std::swap(result[i], result[i + 1]);
      ++counters.reordered;
      ++i; // a swapped packet is not swapped again
    }
  }
  frame.packets = std::move(result);
}

} // namespace sim
