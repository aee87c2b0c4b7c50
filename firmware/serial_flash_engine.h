// Writing a whole firmware image into a bridge's serial flash and proving it
// by reading it back.
#pragma once

#include <cstdint>

#include "firmware/engine_context.h"
#include "firmware/header_block.h"

namespace qks {

int UpdateSerialFlash(EngineContext& window, const DevicePath& path);
int ProgramEmbeddedImage(EngineContext& window, const DevicePath& path,
                         const HeaderBlock& header);
int ProgramFlashVerified(EngineContext& window, const DevicePath& path, const uint8_t* image,
                         uint32_t length);

}  // namespace qks
