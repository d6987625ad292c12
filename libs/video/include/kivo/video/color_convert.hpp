// The two pixel operations before encoding: BGRA to NV12 (BT.709 matrix,
// full range, luma kept within 1..255) and the 3x3 text-sharpening filter.
//
// Each comes twice: a plain per-pixel version that states the arithmetic,
// and a fast version written for the compiler's vectoriser. Both give the
// same bytes for every input; the tests hold them to that.
#pragma once

#include "kivo/video/image.hpp"

namespace kivo::video {

// Converts the top-left dst.width x dst.height pixels of `src`. Chroma is
// taken from the average of each 2x2 block; at an odd right or bottom edge
// the last column or row stands in for the missing one. Returns false, and
// writes nothing, when dst is empty or larger than src.
[[nodiscard]] bool bgra_to_nv12(const BgraView& src, const Nv12View& dst);
[[nodiscard]] bool bgra_to_nv12_reference(const BgraView& src, const Nv12View& dst);

// Sharpens every channel (alpha too) with the kernel
//    0 -1  0
//   -1  7 -1   / 3, rounded, clamped to 0..255,
//    0 -1  0
// extending the edge pixels outwards. Returns false when the sizes differ
// or are empty. `src` and `dst` must not overlap.
[[nodiscard]] bool sharpen_bgra(const BgraView& src, const MutableBgraView& dst);
[[nodiscard]] bool sharpen_bgra_reference(const BgraView& src, const MutableBgraView& dst);

// sharpen_bgra of the whole of `src`, then bgra_to_nv12 of its top-left
// dst.width x dst.height, in one pass: the same bytes without the sharpened
// copy of the frame going through memory.
[[nodiscard]] bool sharpen_bgra_to_nv12(const BgraView& src, const Nv12View& dst);

}  // namespace kivo::video
