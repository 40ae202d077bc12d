// The few records of the NDI runtime's version-6 dynamic-load interface that
// this program uses, declared from their published field lists.
#pragma once

#include <cstddef>
#include <cstdint>

struct NDIlib_send_create_t {
  const char* p_ndi_name;
  const char* p_groups;
  bool clock_video;
  bool clock_audio;
};

struct NDIlib_video_frame_v2_t {
  int32_t xres;
  int32_t yres;
  int32_t FourCC;
  int32_t frame_rate_N;
  int32_t frame_rate_D;
  float picture_aspect_ratio;
  int32_t frame_format_type;
  int64_t timecode;
  uint8_t* p_data;
  int32_t line_stride_in_bytes;
  const char* p_metadata;
  int64_t timestamp;
};

struct NDIlib_audio_frame_v2_t {
  int32_t sample_rate;
  int32_t no_channels;
  int32_t no_samples;
  int64_t timecode;
  float* p_data;
  int32_t channel_stride_in_bytes;
  const char* p_metadata;
  int64_t timestamp;
};

// Every field where the runtime reads it on 64-bit targets (LP64 and LLP64 alike).
constexpr bool kNdi64 = sizeof(void*) == 8;

static_assert(!kNdi64 || sizeof(NDIlib_send_create_t) == 24, "send-create record");
static_assert(!kNdi64 || offsetof(NDIlib_send_create_t, p_ndi_name) == 0, "p_ndi_name");
static_assert(!kNdi64 || offsetof(NDIlib_send_create_t, p_groups) == 8, "p_groups");
static_assert(!kNdi64 || offsetof(NDIlib_send_create_t, clock_video) == 16, "clock_video");
static_assert(!kNdi64 || offsetof(NDIlib_send_create_t, clock_audio) == 17, "clock_audio");

static_assert(!kNdi64 || sizeof(NDIlib_video_frame_v2_t) == 72, "video frame record");
static_assert(!kNdi64 || offsetof(NDIlib_video_frame_v2_t, xres) == 0, "xres");
static_assert(!kNdi64 || offsetof(NDIlib_video_frame_v2_t, yres) == 4, "yres");
static_assert(!kNdi64 || offsetof(NDIlib_video_frame_v2_t, FourCC) == 8, "FourCC");
static_assert(!kNdi64 || offsetof(NDIlib_video_frame_v2_t, frame_rate_N) == 12, "frame_rate_N");
static_assert(!kNdi64 || offsetof(NDIlib_video_frame_v2_t, frame_rate_D) == 16, "frame_rate_D");
static_assert(!kNdi64 || offsetof(NDIlib_video_frame_v2_t, picture_aspect_ratio) == 20,
              "picture_aspect_ratio");
static_assert(!kNdi64 || offsetof(NDIlib_video_frame_v2_t, frame_format_type) == 24,
              "frame_format_type");
static_assert(!kNdi64 || offsetof(NDIlib_video_frame_v2_t, timecode) == 32, "timecode");
static_assert(!kNdi64 || offsetof(NDIlib_video_frame_v2_t, p_data) == 40, "p_data");
static_assert(!kNdi64 || offsetof(NDIlib_video_frame_v2_t, line_stride_in_bytes) == 48,
              "line_stride_in_bytes");
static_assert(!kNdi64 || offsetof(NDIlib_video_frame_v2_t, p_metadata) == 56, "p_metadata");
static_assert(!kNdi64 || offsetof(NDIlib_video_frame_v2_t, timestamp) == 64, "timestamp");

static_assert(!kNdi64 || sizeof(NDIlib_audio_frame_v2_t) == 56, "audio frame record");
static_assert(!kNdi64 || offsetof(NDIlib_audio_frame_v2_t, sample_rate) == 0, "sample_rate");
static_assert(!kNdi64 || offsetof(NDIlib_audio_frame_v2_t, no_channels) == 4, "no_channels");
static_assert(!kNdi64 || offsetof(NDIlib_audio_frame_v2_t, no_samples) == 8, "no_samples");
static_assert(!kNdi64 || offsetof(NDIlib_audio_frame_v2_t, timecode) == 16, "timecode");
static_assert(!kNdi64 || offsetof(NDIlib_audio_frame_v2_t, p_data) == 24, "p_data");
static_assert(!kNdi64 || offsetof(NDIlib_audio_frame_v2_t, channel_stride_in_bytes) == 32,
              "channel_stride_in_bytes");
static_assert(!kNdi64 || offsetof(NDIlib_audio_frame_v2_t, p_metadata) == 40, "p_metadata");
static_assert(!kNdi64 || offsetof(NDIlib_audio_frame_v2_t, timestamp) == 48, "timestamp");

// Entry points, by their position in the runtime's table of pointers.
namespace ndi_entry {
constexpr int kInitialize = 0;
constexpr int kVersion = 2;
constexpr int kSendCreate = 8;
constexpr int kSendDestroy = 9;
constexpr int kSendGetNoConnections = 17;
constexpr int kSendVideoV2 = 50;
constexpr int kSendAudioV2 = 52;
constexpr int kTableSize = 64;  // enough slots for the highest position used
}  // namespace ndi_entry

typedef bool (*NDIlib_initialize_fn)(void);
typedef const char* (*NDIlib_version_fn)(void);
typedef void* (*NDIlib_send_create_fn)(const NDIlib_send_create_t*);
typedef void (*NDIlib_send_destroy_fn)(void*);
typedef int (*NDIlib_send_get_no_connections_fn)(void*, uint32_t);
typedef void (*NDIlib_send_send_video_v2_fn)(void*, const NDIlib_video_frame_v2_t*);
typedef void (*NDIlib_send_send_audio_v2_fn)(void*, const NDIlib_audio_frame_v2_t*);
// The dynamic-load entry returns the table as an array of pointers.
typedef const void* const* (*NDIlib_v6_load_fn)(void);

constexpr int32_t kFourCC_NV12 = 0x3231564E;
constexpr int64_t kTimecodeSynthesize = INT64_MAX;
