// Program stream demultiplexer (ISO/IEC 13818-1 program stream, ISO/IEC 11172-1 system
// stream): skips everything but video stream 0xE0 and strips its packet headers.
#include "mpeg/program_stream.hpp"

#include <cstdio>

#include "base/console.hpp"
#include "base/run_state.hpp"
#include "mpeg/bit_reader.hpp"
#include "mpeg/start_code_search.hpp"
#include "mpeg/start_codes.hpp"
#include "mpeg/transport_stream.hpp"

static struct {
  // The last video packet of the file has been delivered: from here on the window gets
  // sequence end codes, `padding_given` counting their bytes.
  bool video_ended;
  uint32_t padding_given;
} demux;

void reset_demultiplexer() {
  demux.video_ended = false;
  demux.padding_given = 0;
  reset_transport_stream();
}

bool video_ended() { return demux.video_ended; }

// Whole blocks are read until read_pos lies inside the buffer again; skipped bytes are
// never looked at. read_pos and packet_end move back together.
void reach_read_pos() {
  while (reader.read_pos >= kBlockSize) {
    fill_block();
    reader.read_pos -= kBlockSize;
    reader.packet_end -= kBlockSize;
  }
}

int read_byte() {
  // The usual case: the byte is in the buffer and came from the file.
  if (reader.read_pos < reader.buffer_fill) return reader.buffer[reader.read_pos++];
  reach_read_pos();
  // Past the end of the file the buffer holds padding, which is never system-layer data.
  if (reader.read_pos >= reader.buffer_fill) return -1;
  return reader.buffer[reader.read_pos++];
}

int32_t read_uint16() {
  int high = read_byte();
  int low = high < 0 ? -1 : read_byte();
  return low < 0 ? -1 : (high << 8) | low;
}

int64_t read_uint32() {
  if (reader.read_pos + 4 <= reader.buffer_fill) {
    const uint8_t *p = reader.buffer + reader.read_pos;
    reader.read_pos += 4;
    return (int64_t{p[0]} << 24) | (int64_t{p[1]} << 16) | (int64_t{p[2]} << 8) | p[3];
  }
  int32_t high = read_uint16();
  int32_t low = high < 0 ? -1 : read_uint16();
  return low < 0 ? -1 : (int64_t{high} << 16) | low;
}

bool enter_next_payload() {
  // A video packet without payload is passed over, so no system-layer byte is ever
  // taken as video.
  while (!demux.video_ended && reader.read_pos >= reader.packet_end) {
    if (next_video_packet()) continue;
    demux.video_ended = true;
    // A header cut by the end may have moved packet_end on: from here every byte must
    // come through next_payload_byte.
    reader.packet_end = reader.read_pos;
  }
  return !demux.video_ended;
}

unsigned next_payload_byte() {
  if (!enter_next_payload()) return kSequenceEndBytes[demux.padding_given++ & 3];
  reach_read_pos();
  // A packet that runs past the end of the file gets the elementary-stream padding.
  return reader.buffer[reader.read_pos++];
}

[[noreturn]] static void header_error() {
  console_error("Error in packet header\n");
  finish_and_exit(1);
}

// The header's skipped bytes (flags, time stamps) are never read; a file that ends among
// them ends before the packet's payload began.
static bool header_within_file() {
  reach_read_pos();
  return reader.read_pos <= reader.buffer_fill;
}

// False when the file ends inside the header: the video then ends with its last payload
// byte, as at every other end of the file.
static bool video_packet_header() {
  if (reader.read_pos + 5 <= reader.buffer_fill) {
    // The usual case, read in one step: an MPEG-2 header whose fixed bytes lie in the buffer.
    const uint8_t *p = reader.buffer + reader.read_pos;
    if ((p[2] >> 6) == 2) {
      reader.packet_end = int64_t{reader.read_pos} + 2 + ((p[0] << 8) | p[1]);
      reader.read_pos += 5 + p[4];
      return header_within_file();
    }
  }
  int32_t length = read_uint16();
  if (length < 0) return false;
  reader.packet_end = static_cast<int64_t>(reader.read_pos) + length;
  int b = read_byte();
  if (b < 0) return false;
  if ((b >> 6) == 2) {  // MPEG-2 PES header: flags, flags, header data length
    reader.read_pos += 1;
    int header_length = read_byte();
    if (header_length < 0) return false;
    reader.read_pos += header_length;
    return header_within_file();
  }
  // MPEG-1 packet header (ISO/IEC 11172-1, 2.4.3.3): stuffing, optional STD buffer
  // size, then the time stamps or the 0x0F marker.
  while (b == 0xFF) b = read_byte();
  if (b < 0) return false;
  if (b >= 0x40) {
    if (b >= 0x80) header_error();
    reader.read_pos += 1;
    b = read_byte();
    if (b < 0) return false;
  }
  if (b >= 0x40) header_error();
  if (b >= 0x30) {
    reader.read_pos += 9;
  } else if (b >= 0x20) {
    reader.read_pos += 4;
  } else if (b != 0x0F) {
    header_error();
  }
  return header_within_file();
}

// The next system-layer start code from read_pos, as the byte-wise search finds it: four
// bytes, then one more at a time until they begin with 00 00 01. The bytes in the buffer are
// scanned at once; a code that the end of the block cuts is read byte by byte. -1 when the
// file ends first.
static int64_t next_system_code() {
  reach_read_pos();
  if (reader.read_pos + 4 <= reader.buffer_fill) {
    const uint8_t *p = reader.buffer + reader.read_pos;
    size_t span = static_cast<size_t>(reader.buffer_fill - reader.read_pos);
    // In a DVD the code follows at once: the next pack's after a packet, the packet's two
    // bytes on after a pack header read as far as an MPEG-1 one. 00 00 01 at p[2] leaves no
    // room for a prefix at p[0] or p[1].
    size_t at;
    if ((load_be32(p) >> 8) == kStartCodePrefix) {
      at = 0;
    } else if (span >= 5 && (load_be32(p + 1) & 0xFFFFFF) == kStartCodePrefix) {
      at = 2;
    } else {
      at = find_prefix(p, span);
    }
    if (at + 4 <= span) {
      reader.read_pos += static_cast<int32_t>(at + 4);
      return load_be32(p + at);
    }
    // No code lies wholly here: the search goes on from the first bytes that may begin one.
    reader.read_pos += static_cast<int32_t>(at < span ? at : span - 2);
  }
  int64_t first = read_uint32();
  if (first < 0) return -1;
  uint32_t code = static_cast<uint32_t>(first);
  while (code >> 8 != kStartCodePrefix) {
    int b = read_byte();
    if (b < 0) return -1;
    code = (code << 8) | static_cast<uint32_t>(b);
  }
  return code;
}

// A DVD pack: an MPEG-2 pack header straight followed (after its stuffing) by a packet.
// The offset of that packet's code from p, when the pack header and the code lie in the
// `room` bytes there; else -1. The general path finds the same: the packet's code is the
// first prefix after the pack header's first twelve bytes where no stuffing byte is zero
// (a prefix before it would need two zero bytes there, the stuffing length byte being
// zero only without stuffing).
static int dvd_packet_at(const uint8_t *p, int64_t room) {
  if (room < 14 || load_be32(p) != start_code(kPackCode) || (p[4] >> 6) != 1) return -1;
  int stuffing = p[13] & 7;
  if (room < 14 + stuffing + 4) return -1;
  for (int i = 0; i < stuffing; i++)
    if (p[14 + i] == 0) return -1;
  return 14 + stuffing;
}

// A DVD pack with a video packet, all in the buffer, passed in one step; read_pos is then
// at the packet's length.
static bool dvd_pack_to_video_packet() {
  const uint8_t *p = reader.buffer + reader.read_pos;
  int at = dvd_packet_at(p, reader.buffer_fill - reader.read_pos);
  if (at < 0 || load_be32(p + at) != start_code(kVideoStreamCode)) return false;
  reader.read_pos += at + 4;
  return true;
}

// Passes, as next_video_packet does, the DVD packs that lie wholly in the first `limit`
// bytes of the buffer (blocks read whole, so every byte there is the file's): each holds
// either a video packet with an MPEG-2 header or another packet, which is skipped. The
// position moves from pack to pack, never past `limit`, without a block read. True at the
// payload of a video packet; false where the general path goes on, from a position it
// would also have reached.
bool enter_payload_in_memory(int64_t limit) {
  if (transport_stream_packet_size() != 0) return enter_transport_payload_in_memory(limit);
  while (reader.read_pos >= reader.packet_end) {
    const uint8_t *p = reader.buffer + reader.read_pos;
    // The packet's length and the video header's three fixed bytes lie in the room too.
    int at = dvd_packet_at(p, limit - reader.read_pos - 5);
    if (at < 0) return false;
    const uint8_t *packet = p + at;
    uint32_t code = load_be32(packet);
    int64_t length_at = reader.read_pos + at + 4;
    int64_t after_packet = length_at + 2 + ((packet[4] << 8) | packet[5]);
    if (code == start_code(kVideoStreamCode)) {
      if ((packet[6] >> 6) != 2) return false;
      int64_t payload = length_at + 5 + packet[8];
      // Past the limit the header might run past the end of the file.
      if (payload > limit) return false;
      reader.read_pos = static_cast<int32_t>(payload);
      reader.packet_end = after_packet;
    } else if (code >= start_code(kSystemHeaderCode) && after_packet <= limit) {
      reader.read_pos = static_cast<int32_t>(after_packet);
    } else {
      return false;
    }
  }
  return true;
}

bool next_video_packet() {
  if (transport_stream_packet_size() != 0) return next_transport_payload();
  for (;;) {
    reach_read_pos();
    if (dvd_pack_to_video_packet()) return video_packet_header();
    int64_t next = next_system_code();
    if (next < 0) return false;
    uint32_t code = static_cast<uint32_t>(next);
    if (code == start_code(kPackCode)) {
      // The MPEG-1 pack header's remaining 8 bytes; an MPEG-2 pack header's extra bytes
      // and stuffing cannot hold a start-code prefix, so the search passes them.
      reader.read_pos += 8;
    } else if (code == start_code(kProgramEndCode)) {
      // Program end: concatenated program streams read on.
    } else if (code == start_code(kVideoStreamCode)) {
      return video_packet_header();
    } else if (code >= start_code(kSystemHeaderCode)) {
      int32_t length = read_uint16();
      if (length < 0) return false;
      reader.read_pos += length;
    } else {
      console_error("Unexpected startcode %08x in system layer\n", static_cast<unsigned>(code));
      finish_and_exit(1);
    }
  }
}
