// Test stream builder.
#include "stream_builder.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace {

void put_start_code(Bytes &out, uint8_t code) {
  out.insert(out.end(), {0x00, 0x00, 0x01, code});
}

// MSB-first bit packing for header fields.
class BitWriter {
 public:
  explicit BitWriter(Bytes &out) : out_(out) {}
  void put(uint32_t value, int bits) {
    for (int i = bits - 1; i >= 0; i--) {
      current_ = static_cast<uint8_t>((current_ << 1) | ((value >> i) & 1));
      if (++count_ == 8) {
        out_.push_back(current_);
        current_ = 0;
        count_ = 0;
      }
    }
  }
  void finish() {
    while (count_ != 0) put(0, 1);
  }

 private:
  Bytes &out_;
  uint8_t current_ = 0;
  int count_ = 0;
};

void put_u16(Bytes &out, size_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

}  // namespace

uint8_t with_parity(uint8_t byte7) {
  int ones = 0;
  for (int i = 0; i < 7; i++) ones += (byte7 >> i) & 1;
  return static_cast<uint8_t>((byte7 & 0x7F) | (ones % 2 == 0 ? 0x80 : 0x00));
}

void add_frame(std::vector<CcEntry> &entries, uint8_t byte1, uint8_t byte2) {
  entries.push_back({0xFF, with_parity(byte1), with_parity(byte2)});
  entries.push_back({0xFE, 0x80, 0x80});
}

std::vector<CcEntry> frames_of(const std::vector<std::pair<uint8_t, uint8_t>> &pairs) {
  std::vector<CcEntry> entries;
  for (const auto &pair : pairs) add_frame(entries, pair.first, pair.second);
  return entries;
}

Bytes cc_payload(const std::vector<CcEntry> &entries, bool oddfirst) {
  if (entries.size() > 127) throw std::invalid_argument("a CC block holds at most 127 entries");
  Bytes out = {0x43, 0x43, 0x01, 0xF8};
  out.push_back(static_cast<uint8_t>((oddfirst ? 0x80 : 0x00) | entries.size()));
  for (const CcEntry &e : entries) out.insert(out.end(), {e.tag, e.byte1, e.byte2});
  return out;
}

StreamBuilder &StreamBuilder::sequence_header(const SequenceHeader &h) {
  put_start_code(bytes_, 0xB3);
  BitWriter w(bytes_);
  w.put(h.horizontal_size, 12);
  w.put(h.vertical_size, 12);
  w.put(h.aspect_ratio_information, 4);
  w.put(h.frame_rate_code, 4);
  w.put(h.bit_rate_value, 18);
  w.put(1, 1);  // marker
  w.put(h.vbv_buffer_size, 10);
  w.put(h.constrained_parameters_flag, 1);
  w.put(h.intra_matrix ? 1 : 0, 1);
  for (int i = 0; h.intra_matrix && i < 64; i++) w.put(8 + i, 8);
  w.put(h.non_intra_matrix ? 1 : 0, 1);
  for (int i = 0; h.non_intra_matrix && i < 64; i++) w.put(16, 8);
  w.finish();
  return *this;
}

StreamBuilder &StreamBuilder::sequence_extension(bool progressive_sequence) {
  put_start_code(bytes_, 0xB5);
  // Sequence extension, main profile at main level, 4:2:0.
  bytes_.insert(bytes_.end(), {0x14, static_cast<uint8_t>(progressive_sequence ? 0x8A : 0x82), 0x00, 0x01, 0x00, 0x00});
  return *this;
}

StreamBuilder &StreamBuilder::gop(const TimeCode &t) {
  put_start_code(bytes_, 0xB8);
  BitWriter w(bytes_);
  w.put(t.drop_flag, 1);
  w.put(t.hours, 5);
  w.put(t.minutes, 6);
  w.put(1, 1);  // marker
  w.put(t.seconds, 6);
  w.put(t.pictures, 6);
  w.put(t.closed_gop, 1);
  w.put(t.broken_link, 1);
  w.finish();
  return *this;
}

StreamBuilder &StreamBuilder::gop(int hours, int minutes, int seconds, int pictures) {
  TimeCode t;
  t.hours = hours;
  t.minutes = minutes;
  t.seconds = seconds;
  t.pictures = pictures;
  return gop(t);
}

StreamBuilder &StreamBuilder::user_data(const Bytes &payload) {
  put_start_code(bytes_, 0xB2);
  bytes_.insert(bytes_.end(), payload.begin(), payload.end());
  return *this;
}

StreamBuilder &StreamBuilder::cc_block(const std::vector<CcEntry> &entries, bool oddfirst) {
  return user_data(cc_payload(entries, oddfirst));
}

StreamBuilder &StreamBuilder::cc_block_with_count(uint8_t count_byte, const std::vector<CcEntry> &entries) {
  Bytes payload = {0x43, 0x43, 0x01, 0xF8, count_byte};
  for (const CcEntry &e : entries) payload.insert(payload.end(), {e.tag, e.byte1, e.byte2});
  return user_data(payload);
}

StreamBuilder &StreamBuilder::picture(int temporal_reference, int coding_type) {
  put_start_code(bytes_, 0x00);
  BitWriter w(bytes_);
  w.put(temporal_reference, 10);
  w.put(coding_type, 3);
  w.put(0xFFFF, 16);  // vbv_delay
  if (coding_type == 2 || coding_type == 3) w.put(0, 4);
  w.put(0, 1);  // extra_bit_picture
  w.finish();
  return *this;
}

StreamBuilder &StreamBuilder::picture_coding_extension(const PictureCoding &coding) {
  put_start_code(bytes_, 0xB5);
  BitWriter w(bytes_);
  w.put(8, 4);        // extension identifier
  w.put(0xFFFF, 16);  // f_codes
  w.put(0, 2);        // intra_dc_precision
  w.put(coding.structure, 2);
  w.put(coding.top_field_first, 1);
  w.put(0x8, 4);  // frame_pred_frame_dct, concealment_motion_vectors, q_scale_type, intra_vlc_format
  w.put(0, 1);    // alternate_scan
  w.put(coding.repeat_first_field, 1);
  w.put(0x1, 2);  // chroma_420_type, progressive_frame
  w.put(0, 1);    // composite_display_flag
  w.finish();
  return *this;
}

StreamBuilder &StreamBuilder::atsc_cc_data(const CaptionPairs &field1, const CaptionPairs &field2) {
  Bytes payload = {'G', 'A', '9', '4', 0x03, 0, 0xFF};
  auto entry = [&payload](int type, uint8_t byte1, uint8_t byte2) {
    payload.insert(payload.end(), {static_cast<uint8_t>(0xFC | type), byte1, byte2});
  };
  for (auto pair : field1) entry(0, with_parity(pair.first), with_parity(pair.second));
  for (auto pair : field2) entry(1, with_parity(pair.first), with_parity(pair.second));
  entry(2, 0x14, 0x2C);
  payload[5] = static_cast<uint8_t>(0xC0 | (field1.size() + field2.size() + 1));  // process_cc_data_flag, cc_count
  payload.push_back(0xFF);
  return user_data(payload);
}

StreamBuilder &StreamBuilder::slice(size_t n, uint32_t seed) {
  put_start_code(bytes_, 0x01);
  // Never two zero bytes in a row, so no start-code prefix can form.
  for (uint8_t b : noise(n, seed)) bytes_.push_back(b == 0 && bytes_.back() == 0 ? 0x5A : b);
  if (bytes_.back() == 0) bytes_.back() = 0x11;
  return *this;
}

StreamBuilder &StreamBuilder::sequence_end() {
  put_start_code(bytes_, 0xB7);
  return *this;
}

StreamBuilder &StreamBuilder::raw(const Bytes &bytes) {
  bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
  return *this;
}

Bytes mpeg2_pack_header(int stuffing) {
  Bytes out;
  put_start_code(out, 0xBA);
  // '01' SCR 0 with markers, mux rate 25200 with markers, reserved and stuffing length.
  out.insert(out.end(), {0x44, 0x00, 0x04, 0x00, 0x04, 0x01, 0x01, 0x89, 0xC3});
  out.push_back(static_cast<uint8_t>(0xF8 | stuffing));
  for (int i = 0; i < stuffing; i++) out.push_back(0xFF);
  return out;
}

Bytes mpeg1_pack_header() {
  Bytes out;
  put_start_code(out, 0xBA);
  // '0010' SCR 0 with markers, mux rate with markers.
  out.insert(out.end(), {0x21, 0x00, 0x01, 0x00, 0x01, 0x80, 0x1B, 0x91});
  return out;
}

Bytes system_header() {
  Bytes out;
  put_start_code(out, 0xBB);
  Bytes body = {0x80, 0x1B, 0x91, 0x04, 0xE1, 0xFF, 0xE0, 0xE0, 0xE8, 0xC0, 0xC0, 0x20};
  put_u16(out, body.size());
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

Bytes program_end_code() { return {0x00, 0x00, 0x01, 0xB9}; }

Bytes mpeg2_packet(uint8_t stream_id, const Bytes &payload, bool pts, int stuffing) {
  Bytes out;
  put_start_code(out, stream_id);
  size_t header_data = (pts ? 5u : 0u) + static_cast<size_t>(stuffing);
  put_u16(out, 3 + header_data + payload.size());
  out.push_back(0x81);
  out.push_back(pts ? 0x80 : 0x00);
  out.push_back(static_cast<uint8_t>(header_data));
  if (pts) out.insert(out.end(), {0x21, 0x00, 0x01, 0x00, 0x01});
  for (int i = 0; i < stuffing; i++) out.push_back(0xFF);
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes mpeg1_packet(uint8_t stream_id, const Bytes &header, const Bytes &payload) {
  Bytes out;
  put_start_code(out, stream_id);
  put_u16(out, header.size() + payload.size());
  out.insert(out.end(), header.begin(), header.end());
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes mpeg1_header_plain() { return {0x0F}; }
Bytes mpeg1_header_pts() { return {0x21, 0x00, 0x01, 0x00, 0x01}; }
Bytes mpeg1_header_full(int stuffing) {
  Bytes out(static_cast<size_t>(stuffing), 0xFF);
  out.insert(out.end(), {0x60, 0x2E});  // STD buffer scale and size
  out.insert(out.end(), {0x31, 0x00, 0x01, 0x00, 0x01, 0x11, 0x00, 0x01, 0x00, 0x01});
  return out;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes &part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

Bytes mux_program_stream(const Bytes &elementary, const MuxOptions &options) {
  Bytes out;
  bool first = true;
  for (size_t at = 0; at < elementary.size(); at += options.video_payload) {
    size_t n = std::min(options.video_payload, elementary.size() - at);
    Bytes payload(elementary.begin() + static_cast<long>(at), elementary.begin() + static_cast<long>(at + n));
    Bytes pack = options.mpeg1 ? mpeg1_pack_header() : mpeg2_pack_header(options.pack_stuffing);
    out.insert(out.end(), pack.begin(), pack.end());
    if (first && options.system_header) {
      Bytes sh = system_header();
      out.insert(out.end(), sh.begin(), sh.end());
    }
    first = false;
    Bytes video = options.mpeg1 ? mpeg1_packet(0xE0, mpeg1_header_pts(), payload) : mpeg2_packet(0xE0, payload);
    out.insert(out.end(), video.begin(), video.end());
    if (options.audio) {
      Bytes audio_payload(options.audio_size, 0xA5);
      Bytes audio = options.mpeg1 ? mpeg1_packet(0xC0, mpeg1_header_pts(), audio_payload) : mpeg2_packet(0xC0, audio_payload);
      out.insert(out.end(), audio.begin(), audio.end());
    }
  }
  if (options.end_code) {
    Bytes end = program_end_code();
    out.insert(out.end(), end.begin(), end.end());
  }
  return out;
}

Bytes noise(size_t n, uint32_t seed) {
  Bytes out(n);
  uint32_t state = seed * 2654435761u + 12345u;
  for (uint8_t &b : out) {
    state = state * 1103515245u + 12345u;
    b = static_cast<uint8_t>(state >> 24);
  }
  return out;
}

void write_file(const std::string &path, const Bytes &bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

std::string read_file(const std::string &path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool file_exists(const std::string &path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

// ---- Transport streams ----

namespace {

constexpr int kPmtPid = 0x1000, kVideoPid = 0x1E1, kAudioPid = 0x1C0;

Bytes slice(const Bytes &bytes, size_t from, size_t to) {
  return Bytes(bytes.begin() + static_cast<long>(from), bytes.begin() + static_cast<long>(to));
}

Bytes psi_section(uint8_t table_id, int id, const Bytes &body) {
  Bytes s = {table_id, 0, 0, static_cast<uint8_t>(id >> 8), static_cast<uint8_t>(id), 0xC1, 0, 0};
  s.insert(s.end(), body.begin(), body.end());
  size_t length = s.size() + 4 - 3;
  s[1] = static_cast<uint8_t>(0xB0 | (length >> 8));
  s[2] = static_cast<uint8_t>(length);
  uint32_t crc = 0xFFFFFFFF;
  for (uint8_t b : s) {
    crc ^= uint32_t{b} << 24;
    for (int bit = 0; bit < 8; bit++) crc = (crc & 0x80000000u) ? (crc << 1) ^ 0x04C11DB7u : crc << 1;
  }
  for (int shift = 24; shift >= 0; shift -= 8) s.push_back(static_cast<uint8_t>(crc >> shift));
  return s;
}

void put_pid(Bytes &out, int high_bits, int pid) {
  out.push_back(static_cast<uint8_t>(high_bits | (pid >> 8)));
  out.push_back(static_cast<uint8_t>(pid));
}

// A descriptor loop of one descriptor whose body holds the sync byte and a start code.
Bytes descriptors(size_t body) {
  Bytes out = {0x05, static_cast<uint8_t>(body)};
  for (size_t i = 0; i < body; i++) out.push_back(i % 4 == 0 ? 0x47 : i % 4 == 3 ? 0xB3 : i % 4 == 2);
  Bytes loop;
  put_pid(loop, 0xF0, static_cast<int>(out.size()));
  return cat({loop, out});
}

Bytes pmt_section(bool long_pmt, int program, const std::vector<uint8_t> &video_types) {
  Bytes body;
  put_pid(body, 0xE0, kVideoPid);  // PCR PID
  body = cat({body, descriptors(long_pmt ? 150 : 0)});
  body.push_back(0x04);
  put_pid(body, 0xE0, kAudioPid);
  body = cat({body, descriptors(0)});
  if (long_pmt) {
    body.push_back(0x06);
    put_pid(body, 0xE0, kAudioPid + 1);
    body = cat({body, descriptors(60)});
  }
  for (size_t i = 0; i < video_types.size(); i++) {
    body.push_back(video_types[i]);
    put_pid(body, 0xE0, kVideoPid + 2 * program + static_cast<int>(i) - 2);
    body = cat({body, descriptors(4)});
  }
  return psi_section(0x02, program, body);
}

// A packet of 188 bytes; an adaptation field fills what the payload leaves, with a PCR when
// it has room. Only packets with payload step the counter.
Bytes ts_packet(int pid, bool unit_start, int &counter, const Bytes &payload, bool adaptation = false) {
  Bytes p = {0x47};
  put_pid(p, unit_start ? 0x40 : 0, pid);
  adaptation = adaptation || payload.size() < 184;
  int count = payload.empty() ? (counter + 15) & 15 : counter++ & 15;
  p.push_back(static_cast<uint8_t>((adaptation ? 0x20 : 0) | (payload.empty() ? 0 : 0x10) | count));
  if (adaptation) {
    size_t length = 183 - payload.size();
    p.push_back(static_cast<uint8_t>(length));
    if (length >= 7) p.insert(p.end(), {0x10, 0x00, 0x00, 0x12, 0x34, 0xFE, 0x00});
    else if (length >= 1) p.push_back(0x00);
    while (p.size() < 188 - payload.size()) p.push_back(0xFF);
  }
  return cat({p, payload});
}

// Sections back to back in as many packets as they take, stuffing after the last. A packet
// in which a section starts begins with the pointer to it.
Bytes psi_packets(int pid, const Bytes &sections, const std::vector<size_t> &starts, int &counter) {
  Bytes out;
  for (size_t at = 0; at < sections.size();) {
    Bytes payload;
    for (size_t start : starts) {
      if (start >= at && start < at + 183) {
        payload.push_back(static_cast<uint8_t>(start - at));
        break;
      }
    }
    bool unit_start = !payload.empty();
    size_t take = std::min(sections.size() - at, 184 - payload.size());
    payload = cat({payload, slice(sections, at, at + take)});
    payload.resize(184, 0xFF);
    out = cat({out, ts_packet(pid, unit_start, counter, payload)});
    at += take;
  }
  return out;
}

}  // namespace

Bytes mux_transport_stream(const Bytes &elementary, const TsOptions &o, Bytes *survivors) {
  Bytes out;
  int counters[5] = {0, 0, 0, 0, 0};  // PAT, PMT, video, audio, null
  uint32_t clock = 0;
  auto put = [&](const Bytes &packets) {
    for (size_t at = 0; at < packets.size(); at += 188) {
      if (o.packet_size == 192) {
        clock += 0x1234;
        for (int shift = 24; shift >= 0; shift -= 8) {
          uint8_t b = static_cast<uint8_t>((clock & 0x3FFFFFFF) >> shift);
          out.push_back(b == 0x47 ? 0x48 : b);
        }
      }
      Bytes packet = slice(packets, at, at + 188);
      out.insert(out.end(), packet.begin(), packet.end());
    }
  };
  auto put_psi = [&] {
    Bytes pat_body;
    for (int program : {0, 1, 2}) {
      pat_body.insert(pat_body.end(), {0x00, static_cast<uint8_t>(program)});
      put_pid(pat_body, 0xE0, program == 0 ? 0x10 : kPmtPid);
    }
    put(psi_packets(0, psi_section(0x00, 1, pat_body), {0}, counters[0]));
    Bytes pmt = pmt_section(o.long_pmt, 1, o.video_types);
    if (o.long_pmt) {
      // Program 2's ends after the pointer of the packet in which program 3's and then
      // program 1's begin; program 1's ends in a packet of its own.
      Bytes two = pmt_section(true, 2, {0x1B}), three = pmt_section(false, 3, {0x1B});
      put(psi_packets(kPmtPid, cat({two, three, pmt}), {0, two.size(), two.size() + three.size()}, counters[1]));
    } else {
      put(psi_packets(kPmtPid, pmt, {0}, counters[1]));
    }
  };
  auto has = [](const std::vector<size_t> &list, size_t i) {
    return std::find(list.begin(), list.end(), i) != list.end();
  };
  auto every = [](size_t n, size_t i) { return n != 0 && i % n == n - 1; };
  for (size_t i = 0; i < o.null_packets; i++) put(ts_packet(0x1FFF, false, counters[4], Bytes(184, 0xFF)));
  if (o.psi) put_psi();
  if (survivors) survivors->clear();
  size_t index = 0;
  for (size_t from = 0; from < elementary.size(); from += o.pes_payload) {
    size_t n = std::min(o.pes_payload, elementary.size() - from);
    Bytes pes = mpeg2_packet(0xE0, slice(elementary, from, from + n));
    size_t header = pes.size() - n;
    for (size_t at = 0; at < pes.size(); index++) {
      if (o.psi_every && index > 0 && index % o.psi_every == 0) put_psi();
      static const size_t kAdaptation[4] = {1, 2, 8, 40};
      size_t room = at == 0 && o.unit_start_payload ? o.unit_start_payload : 184;
      bool adaptation = every(o.adaptation_every, index);
      if (adaptation) room = std::min(room, 184 - kAdaptation[index / o.adaptation_every % 4]);
      size_t take = std::min(room, pes.size() - at);
      Bytes packet = ts_packet(kVideoPid, at == 0, counters[2], slice(pes, at, at + take), adaptation);
      bool lost = has(o.dropped, index) || has(o.errored, index);
      if (survivors && !lost && at + take > header) {
        Bytes carried = slice(elementary, from + std::max(at, header) - header, from + at + take - header);
        survivors->insert(survivors->end(), carried.begin(), carried.end());
      }
      at += take;
      if (has(o.garbage_before, index)) out.insert(out.end(), {0x00, 0x00, 0x01, 0xB3, 0x12, 0x47});
      if (has(o.errored, index)) packet[1] |= 0x80;
      if (!has(o.dropped, index)) put(packet);
      if (has(o.duplicated, index)) put(packet);
      if (every(o.audio_every, index)) {
        Bytes audio = mpeg2_packet(0xC0, descriptors(170));
        put(ts_packet(kAudioPid, true, counters[3], slice(audio, 0, 184)));
      }
      // Without payload the counter means nothing: every other one has the next packet's,
      // as some muxers write it.
      if (every(o.stuffing_every, index)) {
        int next = counters[2] + index / o.stuffing_every % 2;
        put(ts_packet(kVideoPid, false, next, {}));
      }
    }
  }
  return out;
}
