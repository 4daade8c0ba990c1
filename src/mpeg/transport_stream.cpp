// Transport stream demultiplexer: follows the PAT and PMT to the first program's first video
// stream and hands the bit reader the payload of that stream's packets, PES headers left out.
// Damage (packets lost, repeated, flagged in error, sync lost) never ends the run: the video
// layer finds its way again at the next start code.
#include "mpeg/transport_stream.hpp"

#include <cstring>
#include <initializer_list>

#include "mpeg/bit_reader.hpp"
#include "mpeg/program_stream.hpp"

namespace {

constexpr int kSyncByte = 0x47;
constexpr int kPacketBytes = 188;  // from the sync byte on; M2TS puts 4 more before it
constexpr int kNullPid = 0x1FFF;
constexpr int kNoPid = -1;
// A PAT or PMT section: 3 bytes, then at most 1021 counted by its length.
constexpr int kMaxSection = 3 + 1021;

struct Section {
  uint8_t bytes[kMaxSection];
  int32_t fill;
  int32_t size;      // once the length is read, else 0
  bool open;         // gathering; only a unit start opens one
  int last_counter;  // of the PID's last packet with payload; -1 before it
  bool last_unit_start;
};

enum Step { kFileEnded, kPassed, kVideoPayload };

}  // namespace

static struct {
  int packet_size;
  int pmt_pid;
  int program_number;
  int pat_section_number;  // of the PAT section that named the program
  int video_pid;
  int video_counter;
  bool video_unit_start;  // of the last video packet with payload
  // The PES header of the current unit: how many of its 9 fixed bytes were read, and how
  // many header data bytes are still to pass. Nothing is delivered outside a unit.
  bool in_unit;
  int header_seen;
  int header_left;
  bool video_delivered;
  const char *refused_codec;
  Section pat, pmt;
} transport;

int transport_packet_size(const uint8_t *bytes, int32_t count) {
  for (int size : {188, 192}) {
    int at = size == 192 ? 4 : 0;
    if (at + 2 * size < count && bytes[at] == 0x47 && bytes[at + size] == 0x47 && bytes[at + 2 * size] == 0x47)
      return size;
  }
  return 0;
}

void use_transport_stream(int packet_size) { transport.packet_size = packet_size; }
int transport_stream_packet_size() { return transport.packet_size; }

static void restart_video(int pid) {
  transport.video_pid = pid;
  transport.video_counter = -1;
  transport.in_unit = false;
}

static void close_section(Section &section) {
  section.open = false;
  section.last_counter = -1;
}

void reset_transport_stream() {
  transport.pmt_pid = kNoPid;
  transport.program_number = -1;
  transport.pat_section_number = 256;
  restart_video(kNoPid);
  transport.video_delivered = false;
  transport.refused_codec = nullptr;
  close_section(transport.pat);
  close_section(transport.pmt);
}

const char *transport_refused_codec() { return transport.refused_codec; }

// CRC-32 as the system layer computes it; over a whole section with its CRC field it is 0.
static uint32_t section_crc(const uint8_t *bytes, int32_t count) {
  uint32_t crc = 0xFFFFFFFF;
  for (int32_t i = 0; i < count; i++) {
    crc ^= uint32_t{bytes[i]} << 24;
    for (int bit = 0; bit < 8; bit++) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  return crc;
}

static void read_pat(const Section &pat) {
  const uint8_t *s = pat.bytes;
  // A PAT of several sections names its programs in any of them: the lowest section that
  // names one keeps deciding, so repeats of the others cannot take turns with it.
  if (s[6] > transport.pat_section_number) return;
  for (int32_t at = 8; at + 4 <= pat.size - 4; at += 4) {
    int program = (s[at] << 8) | s[at + 1];
    int pid = ((s[at + 2] & 0x1F) << 8) | s[at + 3];
    if (program == 0) continue;  // the network PID
    if (pid == 0 || pid == kNullPid) return;
    transport.pat_section_number = s[6];
    if (program != transport.program_number || pid != transport.pmt_pid) {
      transport.program_number = program;
      transport.pmt_pid = pid;
      close_section(transport.pmt);
    }
    return;
  }
}

static const char *codec_not_read(int stream_type) {
  switch (stream_type) {
    case 0x10: return "MPEG-4 Visual";
    case 0x1B: return "H.264";
    case 0x24: return "HEVC";
    case 0x42: return "AVS";
    case 0xEA: return "VC-1";
    default: return nullptr;
  }
}

static void read_pmt(const Section &pmt) {
  const uint8_t *s = pmt.bytes;
  if (((s[3] << 8) | s[4]) != transport.program_number) return;
  int32_t end = pmt.size - 4;
  int32_t at = 12 + (((s[10] & 0x0F) << 8) | s[11]);  // past the program's descriptors
  for (; at + 5 <= end; at += 5 + (((s[at + 3] & 0x0F) << 8) | s[at + 4])) {
    int stream_type = s[at];
    int pid = ((s[at + 1] & 0x1F) << 8) | s[at + 2];
    if (stream_type == 0x01 || stream_type == 0x02) {
      if (pid != 0 && pid != kNullPid && pid != transport.pmt_pid && pid != transport.video_pid) restart_video(pid);
      return;
    }
    if (const char *codec = codec_not_read(stream_type)) {
      // Once video went out, a program that changes its video is read no further.
      if (!transport.video_delivered) transport.refused_codec = codec;
      return;
    }
  }
}

static void section_complete(const Section &section, int table_id) {
  const uint8_t *s = section.bytes;
  // Only the table in force counts; a damaged one is passed over until its next repeat.
  if (s[0] != table_id || !(s[1] & 0x80) || !(s[5] & 0x01) || section_crc(s, section.size) != 0) return;
  if (table_id == 0x00) {
    read_pat(section);
  } else {
    read_pmt(section);
  }
}

// Up to `limit` bytes of the packet into the open section, stopping at the section's end.
// False when the file ends first.
static bool gather(Section &section, int table_id, int64_t limit) {
  int64_t room = reader.packet_end - reader.read_pos;
  if (limit > room) limit = room;
  for (; limit > 0 && section.open; limit--) {
    int b = read_byte();
    if (b < 0) return false;
    section.bytes[section.fill++] = static_cast<uint8_t>(b);
    if (section.fill == 3) {
      section.size = 3 + (((section.bytes[1] & 0x0F) << 8) | section.bytes[2]);
      // Shorter than a PAT's fixed part and CRC, or longer than the tables may be.
      if (section.size < 12 || section.size > kMaxSection) section.open = false;
    }
    if (section.fill == section.size) {
      section.open = false;
      section_complete(section, table_id);
    }
  }
  return true;
}

// A PSI packet's payload: the end of the section under way, then, after a unit start's
// pointer, the sections that begin in it.
static bool section_packet(Section &section, int table_id, bool unit_start) {
  if (!unit_start) return !section.open || gather(section, table_id, kMaxSection);
  if (reader.read_pos >= reader.packet_end) return true;
  int pointer = read_byte();
  if (pointer < 0) return false;
  // Counted from the packet's end, which moves with the blocks as read_pos does.
  int64_t after_first_start = reader.packet_end - reader.read_pos - pointer;
  if (after_first_start < 0) {
    section.open = false;
    return true;
  }
  if (section.open && !gather(section, table_id, pointer)) return false;
  section.open = false;
  reader.read_pos = static_cast<int32_t>(reader.packet_end - after_first_start);
  while (reader.read_pos < reader.packet_end) {
    int b = read_byte();
    if (b < 0) return false;
    if (b == 0xFF) break;  // stuffing fills the rest
    section.bytes[0] = static_cast<uint8_t>(b);
    section.fill = 1;
    section.size = 0;
    section.open = true;
    if (!gather(section, table_id, kMaxSection)) return false;
    // Unfinished, it goes on in the PID's next packet; with a length out of bounds, where the
    // next one would begin is unknown.
    if (section.open || section.fill != section.size) break;
  }
  return true;
}

// Whether byte `index` of a PES header's fixed part may be what it is: the start code
// prefix, and the '10' that begins an MPEG-2 header's flags.
static bool pes_byte_fits(int index, int b) {
  switch (index) {
    case 0:
    case 1: return b == 0x00;
    case 2: return b == 0x01;
    case 6: return (b >> 6) == 2;
    default: return true;
  }
}

static Step video_packet(bool unit_start, bool lost_before) {
  // Bytes lost in the middle of a header leave its end unknown.
  if (lost_before && (transport.header_seen < 9 || transport.header_left > 0)) transport.in_unit = false;
  if (unit_start) {
    transport.in_unit = true;
    transport.header_seen = 0;
    transport.header_left = 0;
  }
  if (!transport.in_unit) return kPassed;
  while (transport.header_seen < 9 || transport.header_left > 0) {
    if (reader.read_pos >= reader.packet_end) return kPassed;  // the header goes on in the next packet
    if (transport.header_seen < 9) {
      int b = read_byte();
      if (b < 0) return kFileEnded;
      if (!pes_byte_fits(transport.header_seen, b)) {
        transport.in_unit = false;
        return kPassed;
      }
      if (transport.header_seen == 8) transport.header_left = b;
      transport.header_seen++;
    } else {
      int64_t room = reader.packet_end - reader.read_pos;
      int skip = room < transport.header_left ? static_cast<int>(room) : transport.header_left;
      reader.read_pos += skip;
      transport.header_left -= skip;
    }
  }
  reach_read_pos();
  if (reader.read_pos >= reader.packet_end) return kPassed;
  // A packet cut by the end of the file gives its bytes up to there, then the padding.
  if (reader.read_pos >= reader.buffer_fill) return kFileEnded;
  transport.video_delivered = true;
  return kVideoPayload;
}

// One packet, from the byte after its sync byte; packet_end is set.
static Step packet() {
  int b1, b2, b3;
  if (reader.read_pos + 3 <= reader.buffer_fill) {
    const uint8_t *p = reader.buffer + reader.read_pos;
    b1 = p[0];
    b2 = p[1];
    b3 = p[2];
    reader.read_pos += 3;
  } else {
    b1 = read_byte();
    b2 = read_byte();
    b3 = read_byte();
    if (b1 < 0 || b2 < 0 || b3 < 0) return kFileEnded;
  }
  if (b1 & 0x80) return kPassed;  // transport_error_indicator
  int pid = ((b1 & 0x1F) << 8) | b2;
  Section *section = pid == 0 ? &transport.pat : pid == transport.pmt_pid ? &transport.pmt : nullptr;
  if (section == nullptr && pid != transport.video_pid) return kPassed;
  int control = (b3 >> 4) & 3;
  bool discontinuity = false;
  if (control & 2) {
    int length = read_byte();
    if (length < 0) return kFileEnded;
    if (length > kPacketBytes - 5) return kPassed;  // runs past the packet: damaged
    if (length > 0) {
      int flags = read_byte();
      if (flags < 0) return kFileEnded;
      discontinuity = (flags & 0x80) != 0;
      reader.read_pos += length - 1;
    }
  }
  if (!(control & 1)) return kPassed;
  // The counter steps with each packet that has payload; a repeat of the last one (sent
  // twice on purpose, byte for byte) is dropped, a jump means packets were lost. A second
  // recording joined to a first may begin with the first's last counter: its unit start
  // tells it from a repeat.
  int counter = b3 & 0x0F;
  bool unit_start = (b1 & 0x40) != 0;
  int &last = section ? section->last_counter : transport.video_counter;
  bool &last_unit_start = section ? section->last_unit_start : transport.video_unit_start;
  bool repeated = counter == last && !discontinuity && unit_start == last_unit_start;
  bool lost_before = last >= 0 && counter != ((last + 1) & 0x0F) && !repeated;
  last = counter;
  last_unit_start = unit_start;
  if (repeated) return kPassed;
  if (section == nullptr) return video_packet((b1 & 0x40) != 0, lost_before);
  if (lost_before) section->open = false;
  return section_packet(*section, pid == 0 ? 0x00 : 0x02, (b1 & 0x40) != 0) ? kPassed : kFileEnded;
}

// read_pos is at a byte that should have been a sync byte. Leaves it at the next sync byte
// that another follows one packet on; false when the file ends first. A candidate whose
// follower lies in a later block cannot be looked back at once that block is read: its own
// packet is passed over, and the follower must be a sync byte in turn.
static bool find_sync() {
  const int size = transport.packet_size;
  int32_t from = reader.read_pos + 1;
  for (;;) {
    reader.read_pos = from;
    reach_read_pos();
    if (reader.read_pos >= reader.buffer_fill) return false;
    const uint8_t *start = reader.buffer + reader.read_pos;
    const void *found = memchr(start, kSyncByte, static_cast<size_t>(reader.buffer_fill - reader.read_pos));
    if (found == nullptr) {
      from = reader.buffer_fill;
      continue;
    }
    int32_t at = static_cast<int32_t>(static_cast<const uint8_t *>(found) - reader.buffer);
    if (at + size < reader.buffer_fill) {
      if (reader.buffer[at + size] == kSyncByte) {
        reader.read_pos = at;
        return true;
      }
      from = at + 1;
      continue;
    }
    if (reader.buffer_fill < kBlockSize) return false;
    reader.read_pos = at + size;
    reach_read_pos();
    if (reader.read_pos >= reader.buffer_fill) return false;
    if (reader.buffer[reader.read_pos] == kSyncByte) return true;
    from = reader.read_pos + 1;
  }
}

bool next_transport_payload() {
  // Most packets need none of the general path's care; those of the current block are taken
  // at once.
  if (!reference_search_used() && enter_transport_payload_in_memory(reader.buffer_fill)) return true;
  const int prefix = transport.packet_size - kPacketBytes;
  for (;;) {
    // read_pos is where the next packet begins, its prefix included.
    reader.read_pos += prefix;
    reach_read_pos();
    if (reader.read_pos >= reader.buffer_fill) return false;
    if (reader.buffer[reader.read_pos] != kSyncByte && !find_sync()) return false;
    reader.packet_end = int64_t{reader.read_pos} + kPacketBytes;
    reader.read_pos++;
    Step step = packet();
    if (step == kVideoPayload) return true;
    if (step == kFileEnded || transport.refused_codec != nullptr) return false;
    reader.read_pos = static_cast<int32_t>(reader.packet_end);
  }
}

bool enter_transport_payload_in_memory(int64_t limit) {
  const int prefix = transport.packet_size - kPacketBytes;
  while (reader.read_pos >= reader.packet_end) {
    int64_t at = int64_t{reader.read_pos} + prefix;
    if (at + kPacketBytes > limit) return false;
    const uint8_t *p = reader.buffer + at;
    if (p[0] != kSyncByte || (p[1] & 0x80)) return false;
    int pid = ((p[1] & 0x1F) << 8) | p[2];
    int64_t end = at + kPacketBytes;
    if (pid != transport.video_pid) {
      // The tables are read on the general path.
      if (pid == 0 || pid == transport.pmt_pid) return false;
      reader.read_pos = static_cast<int32_t>(end);
      reader.packet_end = end;
      continue;
    }
    // A unit start, damage or a header still under way: the general path.
    int control = (p[3] >> 4) & 3;
    if ((p[1] & 0x40) || !transport.in_unit || transport.header_seen < 9 || transport.header_left > 0) return false;
    int payload = 4;
    if (control & 2) {
      if (p[4] > kPacketBytes - 5 || (p[4] > 0 && (p[5] & 0x80))) return false;
      payload += 1 + p[4];
    }
    if (control & 1) {
      int counter = p[3] & 0x0F;
      if (transport.video_counter >= 0 && counter != ((transport.video_counter + 1) & 0x0F)) return false;
      transport.video_counter = counter;
      transport.video_unit_start = false;
    } else {
      payload = kPacketBytes;
    }
    reader.read_pos = static_cast<int32_t>(at + payload);
    reader.packet_end = end;
  }
  transport.video_delivered = true;
  return true;
}
