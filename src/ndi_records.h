// The few records of the NDI runtime's version-6 dynamic-load interface that
// this program uses, declared from their published field lists.
#pragma once

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

static_assert(sizeof(void*) != 8 || sizeof(NDIlib_send_create_t) == 24, "send-create record");
static_assert(sizeof(void*) != 8 || sizeof(NDIlib_video_frame_v2_t) == 72, "video frame record");
static_assert(sizeof(void*) != 8 || sizeof(NDIlib_audio_frame_v2_t) == 56, "audio frame record");

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
