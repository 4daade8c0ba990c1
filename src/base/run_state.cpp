// The run's shared settings.
#include "base/run_state.hpp"

int verbosity_level = 0;
int program_stream_flag = 0;
bool clock_from_timecode = false;
bool utf8_output = false;
int caption_channel = 1;
