// Camera data path, frame delivery: handing completed frames to the host (one held frame per
// kind of wait), the abort that "stop" performs, and the image-wait event.
#pragma once

#include <cstdint>

namespace qmx {

struct frame_assembly_state;

// Sets the stop flag and aborts both queues, releasing every waiting take. `any_state`: also
// when no buffer has been armed yet (so that a wait begun before any arming is released too).
void abort_delivery(frame_assembly_state& a, bool any_state);
// Gives the previously held frame back and takes the oldest completed one, waiting without
// limit; its slot address, or 0 (stopped, or nothing).
std::uint64_t take_frame_for_wait(frame_assembly_state& a);
// The same with its own held frame and the poll time limit.
std::uint64_t take_frame_for_poll(frame_assembly_state& a);
// The image-wait event: an auto-reset flag; a set before a wait is kept, several count as one.
void wait_image_event(frame_assembly_state& a);
void set_image_event(frame_assembly_state& a);

} // namespace qmx
