#include "content.h"

#include <cstring>

namespace {

// Frame content depends on n only through n*13 mod 256, so 256 frames repeat exactly.
constexpr uint64_t kDistinctFrames = 256;
constexpr size_t kCacheAllLimit = size_t{64} << 20;  // bytes for all 256 frames
constexpr size_t kCycleAbove = size_t{8} << 20;      // forever frames above this cycle
constexpr uint64_t kCycleFrames = 4;

// Byte i of frame n is (i*7 + n*13 + (i >> 11)) & 0xFF: a base pattern plus a per-frame offset.
uint8_t frame_offset(uint64_t n) {
  return static_cast<uint8_t>((n * 13) & 0xFF);
}

std::vector<uint8_t> base_pattern(size_t size) {
  std::vector<uint8_t> base(size);
  for (size_t i = 0; i < size; ++i) base[i] = static_cast<uint8_t>((i * 7 + (i >> 11)) & 0xFF);
  return base;
}

// Adds c to every byte, eight lanes at a time without carries between lanes.
void add_to_bytes(const uint8_t* src, uint8_t* dst, size_t size, uint8_t c) {
  const uint64_t lanes = 0x0101010101010101ull * c;
  const uint64_t low7 = 0x7F7F7F7F7F7F7F7Full;
  const uint64_t high = ~low7;
  size_t i = 0;
  for (; i + 8 <= size; i += 8) {
    uint64_t x;
    std::memcpy(&x, src + i, 8);
    uint64_t sum = ((x & low7) + (lanes & low7)) ^ ((x ^ lanes) & high);
    std::memcpy(dst + i, &sum, 8);
  }
  for (; i < size; ++i) dst[i] = static_cast<uint8_t>(src[i] + c);
}

// Precomputed frames, indexed by n modulo their count.
class TableSource : public UnitSource {
 public:
  TableSource(size_t size, uint64_t count) : size_(size), table_(size * count), count_(count) {
    std::vector<uint8_t> base = base_pattern(size);
    for (uint64_t n = 0; n < count; ++n)
      add_to_bytes(base.data(), &table_[n * size], size, frame_offset(n));
  }
  size_t unit_size() const override { return size_; }
  uint8_t* unit(uint64_t n) override { return &table_[(n % count_) * size_]; }

 private:
  size_t size_;
  std::vector<uint8_t> table_;
  uint64_t count_;
};

// Builds each frame from the base pattern when all 256 would not fit.
class ComputedSource : public UnitSource {
 public:
  explicit ComputedSource(size_t size) : base_(base_pattern(size)), frame_(size) {}
  size_t unit_size() const override { return frame_.size(); }
  uint8_t* unit(uint64_t n) override {
    add_to_bytes(base_.data(), frame_.data(), frame_.size(), frame_offset(n));
    return frame_.data();
  }

 private:
  std::vector<uint8_t> base_;
  std::vector<uint8_t> frame_;
};

class AudioSource : public UnitSource {
 public:
  size_t unit_size() const override { return kAudioBlockBytes; }
  uint8_t* unit(uint64_t b) override {
    fill_audio_block(b, block_);
    return block_;
  }

 private:
  uint8_t block_[kAudioBlockBytes];
};

}  // namespace

size_t nv12_frame_size(int width, int height) {
  return static_cast<size_t>(width) * static_cast<size_t>(height) * 3 / 2;
}

void fill_audio_block(uint64_t b, uint8_t* dst) {
  const uint64_t first = b * kAudioFloatsPerBlock;
  for (size_t j = 0; j < kAudioFloatsPerBlock; ++j) {
    float value = static_cast<float>((first + j) % 1000003);
    uint32_t bits;
    std::memcpy(&bits, &value, 4);
    for (int byte = 0; byte < 4; ++byte)
      dst[j * 4 + byte] = static_cast<uint8_t>(bits >> (8 * byte));
  }
}

std::unique_ptr<UnitSource> make_video_source(size_t frame_size, bool forever) {
  if (frame_size * kDistinctFrames <= kCacheAllLimit)
    return std::make_unique<TableSource>(frame_size, kDistinctFrames);
  if (forever && frame_size > kCycleAbove)
    return std::make_unique<TableSource>(frame_size, kCycleFrames);
  return std::make_unique<ComputedSource>(frame_size);
}

std::unique_ptr<UnitSource> make_audio_source() {
  return std::make_unique<AudioSource>();
}
