// The event stream: one JSON object per line on standard output.
#pragma once

#include <cstddef>

// Formats one event line, adds the newline and flushes, all under one lock.
// Write errors are ignored: the run carries on if the reader has gone.
void emit(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Copies source escaped for a JSON string literal into destination, always
// terminated. Long input is cut between whole escapes. capacity must be >= 7.
void json_escape(const char* source, char* destination, size_t capacity);

// The event catalogue. Escaped texts go where a %s sits between quotes; the
// bare words true or false where it does not.
#define EVENT_STARTED                                                                     \
  "{\"event\":\"started\",\"name\":\"%s\",\"width\":%d,\"height\":%d,\"audio\":%s,\"ndi\":" \
  "\"%s\"}"
#define EVENT_STATUS "{\"event\":\"status\",\"connections\":%d,\"fps\":%.1f,\"audio\":%s}"
#define EVENT_EXIT "{\"event\":\"exit\",\"ffmpeg\":%d,\"requested\":%s}"
#define EVENT_ERROR_NDI_RUNTIME "{\"event\":\"error\",\"code\":\"ndi_runtime\",\"message\":\"%s\"}"
#define EVENT_ERROR_NDI_SENDER \
  "{\"event\":\"error\",\"code\":\"ndi_sender\",\"message\":\"NDI sender creation failed\"}"
#define EVENT_ERROR_SOCKET \
  "{\"event\":\"error\",\"code\":\"socket\",\"message\":\"cannot open local sockets\"}"
#define EVENT_ERROR_FFMPEG_SPAWN \
  "{\"event\":\"error\",\"code\":\"ffmpeg_spawn\",\"message\":\"cannot start %s\"}"
#define EVENT_ERROR_FFMPEG_CONNECT                                              \
  "{\"event\":\"error\",\"code\":\"ffmpeg_connect\",\"message\":\"ffmpeg did not " \
  "deliver the program (exit %d)\"}"

// --keep-alive's lines: the picture that goes out, and why the slate.
#define EVENT_STATUS_CAMERA                                                               \
  "{\"event\":\"status\",\"connections\":%d,\"fps\":%.1f,\"audio\":%s,\"picture\":\"camera\"," \
  "\"decoder_restarts\":%d}"
#define EVENT_STATUS_SLATE                                                                \
  "{\"event\":\"status\",\"connections\":%d,\"fps\":%.1f,\"audio\":%s,\"picture\":\"slate\"," \
  "\"cause\":\"%s\",\"decoder_restarts\":%d}"
#define EVENT_SLATE "{\"event\":\"slate\",\"cause\":\"%s\",\"message\":\"%s\"}"
#define EVENT_CAMERA "{\"event\":\"camera\",\"away_s\":%.1f}"

// --decoder-log: a line of the decoder's standard error, masked; the lines
// dropped by the bound.
#define EVENT_DECODER "{\"event\":\"decoder\",\"text\":\"%s\"}"
#define EVENT_DECODER_DROPPED "{\"event\":\"decoder_dropped\",\"lines\":%lld}"

inline const char* json_bool(bool value) { return value ? "true" : "false"; }
