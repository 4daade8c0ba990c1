// Writes a large elementary stream by repeating the groups of pictures of a small one,
// with the group time codes rewritten so that time keeps advancing.
//
//   repeat_gops INPUT.m2v OUTPUT.m2v MEGABYTES FRAMES_PER_SECOND
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

static bool start_code_at(const std::vector<uint8_t> &s, size_t i, uint8_t code) {
  return i + 3 < s.size() && s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1 && s[i + 3] == code;
}

int main(int argc, char **argv) {
  if (argc != 5) {
    fprintf(stderr, "usage: %s INPUT OUTPUT MEGABYTES FRAMES_PER_SECOND\n", argv[0]);
    return 2;
  }
  FILE *in = fopen(argv[1], "rb");
  if (!in) {
    perror(argv[1]);
    return 1;
  }
  std::vector<uint8_t> stream;
  uint8_t chunk[65536];
  size_t n;
  while ((n = fread(chunk, 1, sizeof chunk, in)) > 0) stream.insert(stream.end(), chunk, chunk + n);
  fclose(in);
  // Drop a final sequence end code: the copies follow each other.
  if (stream.size() >= 4 && start_code_at(stream, stream.size() - 4, 0xB7)) stream.resize(stream.size() - 4);

  std::vector<size_t> gops;
  std::vector<int> pictures_after;
  for (size_t i = 0; i + 3 < stream.size(); i++) {
    if (start_code_at(stream, i, 0xB8)) {
      gops.push_back(i);
      pictures_after.push_back(0);
    } else if (start_code_at(stream, i, 0x00) && !pictures_after.empty()) {
      pictures_after.back()++;
    }
  }
  if (gops.empty()) {
    fprintf(stderr, "%s: no group of pictures\n", argv[1]);
    return 1;
  }
  const uint64_t target = strtoull(argv[3], nullptr, 10) << 20;
  const int fps = atoi(argv[4]);
  FILE *out = fopen(argv[2], "wb");
  if (!out) {
    perror(argv[2]);
    return 1;
  }
  uint64_t written = 0, frame = 0;
  while (written < target) {
    for (size_t g = 0; g < gops.size(); g++) {
      uint64_t seconds = frame / fps;
      uint32_t hours = static_cast<uint32_t>(seconds / 3600 % 24), minutes = static_cast<uint32_t>(seconds / 60 % 60);
      // drop_flag 0, hours, minutes, marker, seconds, pictures; closed_gop, broken_link
      // and the padding bits stay as they were.
      size_t at = gops[g] + 4;
      uint32_t word = (static_cast<uint32_t>(stream[at]) << 24) | (static_cast<uint32_t>(stream[at + 1]) << 16) |
                      (static_cast<uint32_t>(stream[at + 2]) << 8) | stream[at + 3];
      word = (hours << 26) | (minutes << 20) | (1u << 19) | (static_cast<uint32_t>(seconds % 60) << 13) |
             (static_cast<uint32_t>(frame % fps) << 7) | (word & 0x7F);
      for (int i = 0; i < 4; i++) stream[at + i] = static_cast<uint8_t>(word >> (24 - 8 * i));
      frame += static_cast<uint64_t>(pictures_after[g]);
    }
    if (fwrite(stream.data(), 1, stream.size(), out) != stream.size()) {
      perror(argv[2]);
      return 1;
    }
    written += stream.size();
  }
  if (fclose(out) != 0) {
    perror(argv[2]);
    return 1;
  }
  return 0;
}
