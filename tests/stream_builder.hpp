// Builds MPEG video elementary streams and program streams for the tests, header by
// header, so that no test carries hand-typed hex.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

using Bytes = std::vector<uint8_t>;

// An EIA-608 byte (7 bits) with its odd-parity bit 7.
uint8_t with_parity(uint8_t byte7);

// The entries of a "CC" user-data block: tag, byte 1, byte 2 as the stream carries them.
struct CcEntry {
  uint8_t tag, byte1, byte2;
};
// One frame's two entries: field 1 with the pair (parity added), field 2 idle (80 80).
void add_frame(std::vector<CcEntry> &entries, uint8_t byte1, uint8_t byte2);
// A whole block of frames from 7-bit pairs.
std::vector<CcEntry> frames_of(const std::vector<std::pair<uint8_t, uint8_t>> &pairs);

struct SequenceHeader {
  int horizontal_size = 720;
  int vertical_size = 480;
  int aspect_ratio_information = 2;
  int frame_rate_code = 4;
  int bit_rate_value = 20000;
  int vbv_buffer_size = 112;
  int constrained_parameters_flag = 0;
  bool intra_matrix = false;
  bool non_intra_matrix = false;
};

// How a picture is shown, as its picture coding extension says.
struct PictureCoding {
  int structure = 3;  // 1, 2: a field picture; 3: a frame
  bool top_field_first = false, repeat_first_field = false;
};

using CaptionPairs = std::vector<std::pair<uint8_t, uint8_t>>;

struct TimeCode {
  int hours = 0, minutes = 0, seconds = 0, pictures = 0;
  int drop_flag = 0, closed_gop = 1, broken_link = 0;
};

class StreamBuilder {
 public:
  StreamBuilder &sequence_header(const SequenceHeader &header = SequenceHeader());
  StreamBuilder &sequence_extension(bool progressive_sequence = true);
  StreamBuilder &gop(const TimeCode &time_code);
  StreamBuilder &gop(int hours, int minutes, int seconds, int pictures);
  StreamBuilder &user_data(const Bytes &payload);
  StreamBuilder &cc_block(const std::vector<CcEntry> &entries, bool oddfirst = true);
  StreamBuilder &cc_block_with_count(uint8_t count_byte, const std::vector<CcEntry> &entries);
  StreamBuilder &picture(int temporal_reference = 0, int coding_type = 1);
  StreamBuilder &picture_coding_extension(const PictureCoding &coding = PictureCoding());
  // ATSC A/53 caption data: "GA94" user data whose cc_data holds the 7-bit pairs of each
  // field (parity added) and one DTVCC entry.
  StreamBuilder &atsc_cc_data(const CaptionPairs &field1, const CaptionPairs &field2 = {});
  // Slice data: a slice start code and n bytes that hold no start-code prefix.
  StreamBuilder &slice(size_t n, uint32_t seed = 1);
  StreamBuilder &sequence_end();
  StreamBuilder &raw(const Bytes &bytes);

  const Bytes &bytes() const { return bytes_; }

 private:
  Bytes bytes_;
};

// The "CC" user-data payload (after the user_data start code).
Bytes cc_payload(const std::vector<CcEntry> &entries, bool oddfirst = true);

// System layer pieces.
Bytes mpeg2_pack_header(int stuffing = 0);
Bytes mpeg1_pack_header();
Bytes system_header();
Bytes program_end_code();
// An MPEG-2 PES packet with a PTS (or without when pts is false).
Bytes mpeg2_packet(uint8_t stream_id, const Bytes &payload, bool pts = true, int stuffing = 0);
// An MPEG-1 packet; header holds stuffing, buffer-size and time-stamp bytes as given.
Bytes mpeg1_packet(uint8_t stream_id, const Bytes &header, const Bytes &payload);
// Common MPEG-1 headers: no time stamps (0F), PTS only, PTS and DTS, with stuffing and
// a buffer-size field.
Bytes mpeg1_header_plain();
Bytes mpeg1_header_pts();
Bytes mpeg1_header_full(int stuffing);

struct MuxOptions {
  bool mpeg1 = false;
  size_t video_payload = 2000;  // bytes of video per packet
  bool audio = true;            // an audio packet after every video packet
  size_t audio_size = 700;
  int pack_stuffing = 0;
  bool system_header = true;
  bool end_code = true;
};
// The parts one after another.
Bytes cat(std::initializer_list<Bytes> parts);
// Cuts an elementary stream into packs of one video (and one audio) packet each.
Bytes mux_program_stream(const Bytes &elementary, const MuxOptions &options = MuxOptions());

// n bytes of a fixed pseudo-random sequence of the seed, zeros included; the same on
// every platform.
Bytes noise(size_t n, uint32_t seed);

void write_file(const std::string &path, const Bytes &bytes);
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);

// Transport streams: PAT (a network entry, then programs 1 and 2 on one PMT PID), program 1's
// PMT (an audio stream before the video streams), the video in PES packets of pes_payload
// bytes cut into 188-byte packets.
struct TsOptions {
  int packet_size = 188;                   // 192: each packet behind a 4-byte arrival time stamp
  std::vector<uint8_t> video_types = {2};  // the first carries the video; the others no packet
  bool psi = true;
  size_t null_packets = 0;  // before the PAT
  // Descriptors make the PMT longer than a packet, and the PMTs of programs 2 and 3 (H.264)
  // go before it on its PID: program 1's begins after another section in a packet whose
  // pointer passes the end of a third, and ends in a packet without unit start.
  bool long_pmt = false;
  size_t psi_every = 0;   // PAT and PMT again before every n-th video packet
  size_t audio_every = 0;
  size_t adaptation_every = 0;  // every n-th video packet has an adaptation field (1 to 40 bytes)
  size_t stuffing_every = 0;    // an adaptation-only video packet after every n-th
  size_t unit_start_payload = 0;  // PES bytes in each PES's first packet (the rest adaptation); 0: 184
  size_t pes_payload = 3000;
  // Damage, by index of the video packet with payload (best not one that starts a PES):
  // left out, sent twice, sent with transport_error_indicator set, six garbage bytes (the
  // last a sync byte) before it.
  std::vector<size_t> dropped, duplicated, errored, garbage_before;
};
// `survivors`, when given, gets the elementary-stream bytes of the video packets that are
// neither dropped nor in error.
Bytes mux_transport_stream(const Bytes &elementary, const TsOptions &options = TsOptions(), Bytes *survivors = nullptr);
