// The virtual bench behind the kazmir command, in builds on the simulator
// (kazsim/BenchSetup.h): its flash figures as the host kit's layout.
#pragma once

#include <optional>

#include "FlashLayout.h"
#include "kazsim/BenchSetup.h"

namespace kzcli {

inline kzhost::FlashLayout LayoutOf(const kazsim::BoardFlash& flash)
{
    kzhost::FlashLayout layout;
    layout.base = flash.base;
    layout.sectorSizes = flash.sectorSizes;
    layout.sectorCount = static_cast<uint16_t>(flash.sectorSizes.size());
    return layout;
}

inline std::optional<kzhost::FlashLayout> LayoutOf(const std::optional<kazsim::BoardFlash>& flash)
{
    return flash ? std::optional<kzhost::FlashLayout>(LayoutOf(*flash)) : std::nullopt;
}

} // namespace kzcli
