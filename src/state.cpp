#include "state.h"

std::atomic<int32_t> gStop{0};
std::atomic<int32_t> gFrames{0};
zal_ndi_sender* gSender = nullptr;
