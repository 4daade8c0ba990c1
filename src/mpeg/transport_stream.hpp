// Transport stream demultiplexer (ISO/IEC 13818-1 transport stream, 188-byte packets, or
// 192-byte ones behind a 4-byte time stamp as Blu-ray and AVCHD keep them): finds the first
// program's first video stream through the PAT and PMT, and hands the bit reader its PES
// payloads as the program stream demultiplexer hands it video packets.
#pragma once

#include <cstdint>

// 188 or 192 when the bytes (the start of a file) are a transport stream: 0x47 at the start
// and two packet lengths on, or the same after a 4-byte prefix; else 0.
int transport_packet_size(const uint8_t *bytes, int32_t count);
// Which reading the input gets: 0 (a program stream, or none) or a transport stream's packet
// size. Kept across reset_reader; the driver sets it for each input.
void use_transport_stream(int packet_size);
int transport_stream_packet_size();

// Start of a reading of the input: no PAT, PMT or video stream known yet.
void reset_transport_stream();
// next_video_packet for a transport stream: read_pos at the first payload byte of the next
// packet of the video stream that has any, packet_end at the end of that packet. False when
// the file ends first.
bool next_transport_payload();
// enter_payload_in_memory for a transport stream: passes the packets that lie wholly in the
// first `limit` bytes of the buffer as next_transport_payload would, without a block read,
// up to the payload of a video packet; false where the general path must go on (a unit
// start, the tables, damage), from a position it would also have reached.
bool enter_transport_payload_in_memory(int64_t limit);
// When the run found no MPEG-1/2 video stream because the program's first video stream is
// another kind: its name ("H.264", "HEVC", ...); else null.
const char *transport_refused_codec();
