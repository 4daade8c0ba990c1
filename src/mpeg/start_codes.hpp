// Start codes, named once: each is 00 00 01 and the byte that these names give. Video
// codes from ISO/IEC 13818-2 table 6-1, system-layer codes from ISO/IEC 13818-1 table 2-18.
#pragma once

#include <cstdint>
#include <initializer_list>

// 00 00 01, the prefix of every start code.
constexpr uint32_t kStartCodePrefix = 0x000001;

// Video elementary stream.
constexpr uint8_t kPictureCode = 0x00;
constexpr uint8_t kUserDataCode = 0xB2;
constexpr uint8_t kSequenceHeaderCode = 0xB3;
constexpr uint8_t kExtensionCode = 0xB5;
constexpr uint8_t kSequenceEndCode = 0xB7;
constexpr uint8_t kGroupOfPicturesCode = 0xB8;
// Program stream system layer. Codes from kSystemHeaderCode up are packets whose length
// follows the code.
constexpr uint8_t kProgramEndCode = 0xB9;
constexpr uint8_t kPackCode = 0xBA;
constexpr uint8_t kSystemHeaderCode = 0xBB;
constexpr uint8_t kVideoStreamCode = 0xE0;  // the first video stream, the only one read

// The whole 32-bit code, prefix included.
constexpr uint32_t start_code(uint8_t code) { return kStartCodePrefix << 8 | code; }

// A set of codes, as the start-code search takes it: one flag per last byte.
struct StartCodeSet {
  bool codes[256] = {};
  constexpr StartCodeSet(std::initializer_list<uint8_t> members) {
    for (uint8_t code : members) codes[code] = true;
  }
};

// The codes the video header scanner acts on; the search passes over every other one.
constexpr StartCodeSet kScannerCodes = {kSequenceHeaderCode, kSequenceEndCode, kGroupOfPicturesCode};
// The same and picture headers, while ATSC caption data after pictures may be read.
constexpr StartCodeSet kScannerCodesWithPictures = {kSequenceHeaderCode, kSequenceEndCode, kGroupOfPicturesCode,
                                                    kPictureCode};
