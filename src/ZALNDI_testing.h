// What the NDI layer's unit tests reach beyond ZALNDI.h; the program never
// includes this.
#pragma once

extern void* gLib;               // the loaded runtime library, or null
extern const void* const* gNDI;  // the runtime's table of entry points, or null

// Library paths to try for a NDI_RUNTIME_DIR_V6 value (null when unset).
// Returns how many of paths[0..1] were filled; a directory whose joined path
// would not fit is skipped rather than tried cut short.
int zal_ndi_candidates(const char* dir, char paths[2][1024]);

// Forgets the runtime so another load can be tried. The program itself never
// unloads the runtime.
void zal_ndi_unload_for_tests();
