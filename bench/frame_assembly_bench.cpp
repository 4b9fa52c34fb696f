// Prints how fast RAW10 payloads are unpacked and frames assembled, each beside memcpy of the
// same output size measured in the same run:
//  (a) the unpack kernel on 16368-byte payloads (3273 whole groups each), one frame's 101
//      payloads into consecutive places of a frame-sized destination, for every kernel this
//      processor runs; MB/s of output;
//      again with payloads from a transfer-sized pool into a large host buffer (out of cache), and
//      with one payload into one place (first-level cache);
//  (b) the assembler per frame of 1280 x 1024 with 2 calibration lines (101 packets: checks,
//      unpacking, calibration lines kept out of the image, delivery), and the same with 2 x 2
//      binning; frames/s and MB/s of output (the frame's 16-bit pixels with its calibration lines).
// Each figure is the median of several timed rounds; the spread is printed beside it.
#include "camera/binning.h"
#include "camera/frame_assembler.h"
#include "camera/frame_delivery.h"
#include "camera/frame_path.h"
#include "camera/raw10.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

namespace {

constexpr int width = 1280;
constexpr int height = 1024;
constexpr int calibration_lines = 2;
constexpr int payload_bytes = qmx::max_packet_bytes - qmx::packet_header_bytes;
constexpr int rounds = 7;
constexpr double round_seconds = 0.4;

using clock_type = std::chrono::steady_clock;

struct figure {
  double median = 0;
  double low = 0;
  double high = 0;
};

// Runs `work` (which produces `bytes_per_call` bytes of output) repeatedly for each round; MB/s.
template <class Work> figure measure(Work work, double bytes_per_call) {
  std::vector<double> rates;
  work(); // warm the caches and the page tables
  for (int r = 0; r < rounds; ++r) {
    std::size_t calls = 0;
    const auto start = clock_type::now();
    double elapsed = 0;
    do {
      work();
      ++calls;
      elapsed = std::chrono::duration<double>(clock_type::now() - start).count();
    } while (elapsed < round_seconds);
    rates.push_back(bytes_per_call * static_cast<double>(calls) / elapsed / 1e6);
  }
  std::sort(rates.begin(), rates.end());
  return {rates[rates.size() / 2], rates.front(), rates.back()};
}

void print(const char* what, const figure& f, const figure& reference, double bytes_per_call) {
  std::printf("  %-34s %9.0f MB/s (%.0f..%.0f)  %8.1f per s  %.2f x memcpy\n", what, f.median,
              f.low, f.high, f.median * 1e6 / bytes_per_call, f.median / reference.median);
}

volatile unsigned char sink;

// (a) The kernels on one frame's payloads.
void bench_kernels() {
  const int rows = height + calibration_lines;
  const std::size_t stream = static_cast<std::size_t>(rows) * width * 10 / 8;
  const std::size_t packets = (stream + payload_bytes - 1) / payload_bytes;
  constexpr std::size_t groups = payload_bytes / qmx::raw10_group_bytes; // 3273
  constexpr std::size_t out_per_payload = groups * qmx::raw10_group_output_bytes;
  std::vector<unsigned char> source(packets * payload_bytes);
  std::mt19937 random(1);
  for (auto& b : source) {
    b = static_cast<unsigned char>(random());
  }
  std::vector<unsigned char> destination(packets * out_per_payload);
  std::vector<unsigned char> copy_source(destination.size(), 1);
  const double bytes = static_cast<double>(destination.size());
  std::printf("(a) unpack kernel, %zu payloads of %d bytes (%zu groups, %zu output bytes each)\n",
              packets, payload_bytes, groups, out_per_payload);
  const figure copy = measure(
      [&] {
        for (std::size_t p = 0; p < packets; ++p) {
          std::memcpy(destination.data() + p * out_per_payload,
                      copy_source.data() + p * out_per_payload, out_per_payload);
        }
        sink = destination[0];
      },
      bytes);
  print("memcpy of the output size", copy, copy, bytes);
  for (qmx::raw10_path path :
       {qmx::raw10_path::scalar, qmx::raw10_path::ssse3, qmx::raw10_path::avx2}) {
    const qmx::raw10_kernel kernel = qmx::raw10_kernel_for(path);
    if (kernel == nullptr) {
      std::printf("  %-34s not available on this processor\n", qmx::raw10_path_name(path));
      continue;
    }
    const figure f = measure(
        [&] {
          for (std::size_t p = 0; p < packets; ++p) {
            kernel(source.data() + p * payload_bytes, destination.data() + p * out_per_payload,
                   groups);
          }
          sink = destination[0];
        },
        bytes);
    char label[64];
    std::snprintf(label, sizeof label, "%s kernel%s", qmx::raw10_path_name(path),
                  path == qmx::selected_raw10_path() ? " (chosen)" : "");
    print(label, f, copy, bytes);
  }
}

// (a) again, as the module meets its payloads: each taken in turn from a pool as large as 2048
// transfers in flight (32 MB) and unpacked into the next place of a host buffer of 16 frame
// slots (42 MB), so that neither side stays in the processor's caches. memcpy copies the same
// output size from an equally large pool into the same places.
void bench_kernels_out_of_cache() {
  constexpr std::size_t pool_packets = 2048;
  constexpr std::size_t groups = payload_bytes / qmx::raw10_group_bytes;
  constexpr std::size_t out_per_payload = groups * qmx::raw10_group_output_bytes;
  const std::size_t places = 16 * 101;
  std::vector<unsigned char> pool(pool_packets * payload_bytes);
  std::mt19937 random(3);
  for (auto& b : pool) {
    b = static_cast<unsigned char>(random());
  }
  std::vector<unsigned char> copy_pool(pool_packets * out_per_payload, 1);
  std::vector<unsigned char> host(places * out_per_payload, 0);
  constexpr std::size_t per_call = 64; // payloads per timed call
  const double bytes = static_cast<double>(per_call * out_per_payload);
  std::printf("(a) the same out of cache: payloads in turn from a %zu MB pool into a %zu MB host "
              "buffer\n",
              pool.size() >> 20, host.size() >> 20);
  std::size_t next_packet = 0;
  std::size_t next_place = 0;
  const auto run = [&](auto one) {
    return [&, one] {
      for (std::size_t i = 0; i < per_call; ++i) {
        one(next_packet, next_place);
        next_packet = (next_packet + 1) % pool_packets;
        next_place = (next_place + 1) % places;
      }
      sink = host[next_place * out_per_payload];
    };
  };
  const figure copy =
      measure(run([&](std::size_t packet, std::size_t place) {
                std::memcpy(host.data() + place * out_per_payload,
                            copy_pool.data() + packet * out_per_payload, out_per_payload);
              }),
              bytes);
  print("memcpy of the output size", copy, copy, out_per_payload);
  const qmx::raw10_path path = qmx::selected_raw10_path();
  const qmx::raw10_kernel kernel = qmx::raw10_kernel_for(path);
  const figure f = measure(run([&](std::size_t packet, std::size_t place) {
                             kernel(pool.data() + packet * payload_bytes,
                                    host.data() + place * out_per_payload, groups);
                           }),
                           bytes);
  char label[64];
  std::snprintf(label, sizeof label, "%s kernel (chosen)", qmx::raw10_path_name(path));
  print(label, f, copy, out_per_payload); // per s: payloads
}

// (a) once more with one payload unpacked over and over into one place, where source and
// output stay in the first-level cache: what the kernels can compute, beside memcpy at its
// fastest.
void bench_kernels_in_first_level_cache() {
  constexpr std::size_t groups = payload_bytes / qmx::raw10_group_bytes;
  constexpr std::size_t out_per_payload = groups * qmx::raw10_group_output_bytes;
  std::vector<unsigned char> source(payload_bytes);
  std::mt19937 random(4);
  for (auto& b : source) {
    b = static_cast<unsigned char>(random());
  }
  std::vector<unsigned char> destination(out_per_payload);
  std::vector<unsigned char> copy_source(out_per_payload, 1);
  constexpr std::size_t per_call = 64;
  const double bytes = static_cast<double>(per_call * out_per_payload);
  std::printf("(a) the same in the first-level cache: one payload, one place\n");
  const figure copy = measure(
      [&] {
        for (std::size_t i = 0; i < per_call; ++i) {
          std::memcpy(destination.data(), copy_source.data(), out_per_payload);
          sink = destination[i % out_per_payload];
        }
      },
      bytes);
  print("memcpy of the output size", copy, copy, out_per_payload);
  const qmx::raw10_path path = qmx::selected_raw10_path();
  const qmx::raw10_kernel kernel = qmx::raw10_kernel_for(path);
  const figure f = measure(
      [&] {
        for (std::size_t i = 0; i < per_call; ++i) {
          kernel(source.data(), destination.data(), groups);
          sink = destination[i % out_per_payload];
        }
      },
      bytes);
  char label[64];
  std::snprintf(label, sizeof label, "%s kernel (chosen)", qmx::raw10_path_name(path));
  print(label, f, copy, out_per_payload); // per s: payloads
}

void write_u32(unsigned char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) {
    p[i] = static_cast<unsigned char>(v >> (8 * i));
  }
}

// (b) The assembler: one slot, prepared as arming prepares it, frames fed packet by packet and
// given back by the host.
struct assembly_bench {
  qmx::frame_path path;
  std::vector<unsigned char> buffer;
  std::vector<std::vector<unsigned char>> packets;

  assembly_bench(int bin, bool metadata) {
    const int rows = height + calibration_lines;
    const std::size_t stream = static_cast<std::size_t>(rows) * width * 10 / 8;
    const int packet_count = static_cast<int>((stream + payload_bytes - 1) / payload_bytes);
    const qmx::frame_geometry geometry =
        qmx::geometry_for_region(width, height, calibration_lines, bin, bin, packet_count);
    path.assembly.metadata_enabled = metadata;
    buffer.assign(static_cast<std::size_t>(geometry.slot_bytes), 0);
    if (!qmx::prepare_frame_path(path, geometry, buffer.data(), geometry.slot_bytes)) {
      std::fprintf(stderr, "frame_assembly_bench: the slot could not be prepared\n");
      std::exit(1);
    }
    std::mt19937 random(2);
    for (std::size_t start = 0, index = 0; start < stream; start += payload_bytes, ++index) {
      const std::size_t end = std::min(stream, start + static_cast<std::size_t>(payload_bytes));
      const std::uint32_t word = static_cast<std::uint32_t>(index) | (end == stream ? 0x8000u : 0u);
      const unsigned char header[16] = {0x90, 0x90, static_cast<unsigned char>(word),
                                        static_cast<unsigned char>(word >> 8)};
      std::vector<unsigned char> p(std::begin(header), std::end(header));
      for (std::size_t i = start; i < end; ++i) {
        p.push_back(static_cast<unsigned char>(random()));
      }
      packets.push_back(std::move(p));
    }
  }

  // One frame: every packet, then the host takes the frame and gives the slot back.
  bool frame(std::uint32_t counter) {
    for (auto& p : packets) {
      write_u32(p.data() + 4, counter);
      qmx::assemble_received_packet(path, p.data(), static_cast<std::int32_t>(p.size()));
    }
    qmx::frame_node* node = qmx::take(path.assembly.filled_queue, 0);
    if (node == nullptr) {
      return false;
    }
    qmx::push(path.assembly.free_queue, node);
    return true;
  }
};

void bench_assembler() {
  const double frame_bytes = 2.0 * width * (height + calibration_lines);
  std::vector<unsigned char> from(static_cast<std::size_t>(frame_bytes), 1);
  std::vector<unsigned char> to(static_cast<std::size_t>(frame_bytes));
  std::printf("(b) assembler per frame, %d x %d + %d calibration lines, %.0f output bytes\n", width,
              height, calibration_lines, frame_bytes);
  const figure copy = measure(
      [&] {
        std::memcpy(to.data(), from.data(), to.size());
        sink = to[0];
      },
      frame_bytes);
  print("memcpy of a frame's output size", copy, copy, frame_bytes);
  struct variant {
    const char* name;
    int bin;
    bool metadata;
  };
  for (const variant& v :
       {variant{"assembler, metadata", 1, true}, variant{"assembler, no metadata", 1, false},
        variant{"assembler, 2 x 2 binning", 2, true}}) {
    assembly_bench b(v.bin, v.metadata);
    std::uint32_t counter = 0;
    bool whole = true;
    const figure f = measure([&] { whole = b.frame(++counter) && whole; }, frame_bytes);
    print(v.name, f, copy, frame_bytes);
    if (!whole || b.path.statistics.frames_delivered.load() != counter) {
      std::printf("  (some frames were not delivered: %llu of %u)\n",
                  static_cast<unsigned long long>(b.path.statistics.frames_delivered.load()),
                  counter);
    }
  }
}

} // namespace

int main() {
  std::printf("frame_assembly_bench: kernels chosen at run time: RAW10 %s, 2 x 2 binning %s\n",
              qmx::raw10_path_name(qmx::selected_raw10_path()),
              qmx::binning_path_name(qmx::selected_binning_path()));
  bench_kernels();
  bench_kernels_out_of_cache();
  bench_kernels_in_first_level_cache();
  bench_assembler();
  return 0;
}
