// Transport stream demultiplexer.
#include "mpeg/transport_stream.hpp"

#include <initializer_list>

#include "mpeg/bit_reader.hpp"

static struct {
  int packet_size;
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
void reset_transport_stream() {}
bool next_transport_payload() { return false; }
const char *transport_refused_codec() { return nullptr; }
