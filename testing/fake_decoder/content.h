// Deterministic frame and block content; tests/blackbox/fakedata.py holds the same formulas.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

constexpr size_t kAudioFloatsPerBlock = 960;  // 480 stereo samples = 10 ms at 48 kHz
constexpr size_t kAudioBlockBytes = kAudioFloatsPerBlock * 4;

size_t nv12_frame_size(int width, int height);
// Float k = b*960 + j of block b is float(k % 1000003), little-endian.
void fill_audio_block(uint64_t b, uint8_t* dst);

// Hands out unit n (a frame or a block); the pointer stays valid until the next call.
class UnitSource {
 public:
  virtual ~UnitSource() = default;
  virtual size_t unit_size() const = 0;
  virtual uint8_t* unit(uint64_t n) = 0;
};

// forever: allows cycling a few frames when frames are large (see README).
std::unique_ptr<UnitSource> make_video_source(size_t frame_size, bool forever);
std::unique_ptr<UnitSource> make_audio_source();
