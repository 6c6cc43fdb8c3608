// The images of an .ico file as icon editors and older tools write them:
// PNG entries, and bitmap (DIB) entries of 1, 4, 8, 16, 24 or 32 bits per
// pixel with their transparency mask.
#pragma once

#include "packer/image/icon/icon_builder.h"

#include <string>
#include <vector>

namespace tallix {

// Largest side of a bitmap entry: no icon in the wild exceeds 256 pixels,
// and four times that bounds what a crafted header can make the packer
// allocate (4 MiB of pixels).
constexpr int ICO_BITMAP_MAX_SIDE = 1024;

// Every image of `ico`, decoded, in directory order. Throws BadInput
// "ORIGIN: ..." for a file that is no .ico, holds no image, or has an
// image lying outside the file, cut short, or neither a readable PNG nor a
// bitmap of the kinds above (each with the image's number and the cause).
std::vector<IconSource> readIcoImages(const Bytes &ico, const std::string &origin);

} // namespace tallix
