// Program stream demultiplexer: walks the MPEG system layer in place on the bit
// reader's buffer and hands the bit reader the payload of video stream 0xE0 only.
#pragma once

#include <cstdint>

// Start of a reading of the input (the reader's reset): no video delivered, none ended.
void reset_demultiplexer();
// True once the last video packet of the file has been delivered: the window gets
// sequence end codes from here on. Right after the real run's first fill, it means that
// the file holds no video at all.
bool video_ended();

// Whole blocks are read until read_pos lies in the buffer again; read_pos and packet_end
// move back together.
void reach_read_pos();
// System-layer bytes, or -1 once the end of the file is reached: bytes past the end are
// never taken as system-layer data.
int read_byte();
int32_t read_uint16();
int64_t read_uint32();
// A payload byte for the bit reader when it is within 4 bytes of a packet end: moves
// to the next video packet first when the current one is used up. After the last video
// packet of the file it delivers the elementary-stream padding (sequence end codes), so
// the scan ends just as it does in an elementary stream.
unsigned next_payload_byte();
// When the current video packet is used up, moves to the payload of the next one that
// has any. False once the video has ended.
bool enter_next_payload();
// enter_next_payload for DVD packs that lie in the first `limit` bytes of the buffer,
// which may be several blocks: none is read, and read_pos may end past the current block.
// False where enter_next_payload must go on.
bool enter_payload_in_memory(int64_t limit);
// Leaves read_pos at the first payload byte of the next video packet and sets
// packet_end just after its payload. False when the file ends first.
bool next_video_packet();
