// Writing a whole firmware image into a bridge's serial flash and proving it
// by reading it back.
#pragma once

#include <cstdint>
#include <vector>

#include "firmware/engine_context.h"
#include "firmware/header_block.h"

namespace qks {

int UpdateSerialFlash(EngineContext& window, const DevicePath& path);
// The 64 KB the recovery programs: the embedded image behind `header`,
// zeros past its end; empty when the image does not fit.
std::vector<uint8_t> ComposeEmbeddedImage(const ImageStore& images, const HeaderBlock& header);
int ProgramEmbeddedImage(EngineContext& window, const DevicePath& path,
                         const HeaderBlock& header);
int ProgramFlashVerified(EngineContext& window, const DevicePath& path, const uint8_t* image,
                         uint32_t length);

}  // namespace qks
