// Program stream demultiplexer: walks the MPEG system layer in place on the bit
// reader's buffer and hands the bit reader the payload of video stream 0xE0 only.
#pragma once

#include <cstdint>

// System-layer bytes. Reading past the end of the file ends the run normally (or
// refuses the input when no video has been found).
unsigned read_byte();
unsigned read_uint16();
uint32_t read_uint32();
// A payload byte for the bit reader when it is within 4 bytes of a packet end: moves
// to the next video packet first when the current one is used up.
unsigned next_payload_byte();
// Leaves read_pos at the first payload byte of the next video packet and sets
// packet_end just after its payload.
void next_video_packet();
