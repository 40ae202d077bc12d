// Run state shared between the main thread, the pumps and the reporter.
#pragma once

#include <atomic>
#include <cstdint>

struct zal_ndi_sender;

// Stop flag, 0 or 1: raised by atomic exchange, read by plain atomic loads.
extern std::atomic<int32_t> gStop;
// Video frames sent since the last status line.
extern std::atomic<int32_t> gFrames;
// The one NDI sender; set before any thread that uses it starts.
extern zal_ndi_sender* gSender;
