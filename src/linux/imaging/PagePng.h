#pragma once
// One page of an image file as a PNG picture for a screen: read by the same
// readers and within the same limits as printing, scaled to fit a box and
// kept in proportion with the page's own resolutions.
#include <string>

#include "platform/Imaging.h"
#include "platform/Result.h"

namespace platform {

// Page `index` (from 0) of the image at `path`, fitted into maxWidth x
// maxHeight pixels (never enlarged). Fail::NotFound for a missing file or a
// page it does not have, Fail::Format for an image the readers refuse.
Result<std::string> RenderPagePng(const std::string& path, int index, int maxWidth, int maxHeight,
                                  int maxPages = kDefaultMaxPages);

}  // namespace platform
