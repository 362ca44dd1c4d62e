// Fuzz target "formats": the dump format readers (card/formats.h) against any
// file content. The input's first byte picks the format (byte % 5: raw, mct,
// eml, json, nfc) and the size given for formats that leave it open
// (byte / 5 % 4: none, Mini, 1K, 4K); the rest is the file's content.
//
// Checked: reading never crashes and fails only with a reason; an image it
// hands out has one of the three layouts, exactly that layout's bytes and a
// known/unknown flag for each of them, and counts its unknown bytes as the
// flags say. What was read survives writing and reading again: exactly (every
// byte, known or not, the same) in each format that can carry unknown bytes,
// and in raw and eml with every known byte kept, the unknown ones written as
// zeros (in a trailer's access bytes the safe FF 07 80 69, which may replace
// known access bits that would not match their inverted copy beside it) and
// counted as such. Sniffing the content never crashes either.
#include <stddef.h>
#include <stdint.h>

#include <string>

#include "formats.h"
#include "harness/check.h"

namespace {

using mzcard::Bytes;
using mzcard::CardImage;
using mzcard::CardLayout;
using mzcard::Format;

constexpr Format kFormats[] = {Format::kRaw, Format::kMct, Format::kEml, Format::kJson,
                               Format::kNfc};

void CheckShape(const CardImage& image, const char* how) {
  const CardLayout& layout = image.Layout();
  auto expected = mzcard::LayoutOfSectors(layout.sectors);
  MZF_CHECK(expected.has_value(), "%s: an image of %d sectors", how, layout.sectors);
  MZF_CHECK(expected->name == layout.name, "%s: layout '%s' for %d sectors", how,
            layout.name.c_str(), layout.sectors);
  MZF_CHECK(
      image.Size() == layout.ImageSize() && image.Raw().size() == static_cast<size_t>(image.Size()),
      "%s: %d bytes (%zu held) for a %s", how, image.Size(), image.Raw().size(),
      layout.name.c_str());
  int unknown = 0;
  for (int i = 0; i < image.Size(); ++i) unknown += image.Known(i) ? 0 : 1;
  MZF_CHECK(unknown == image.UnknownBytes(), "%s: %d bytes flagged unknown, %d counted", how,
            unknown, image.UnknownBytes());
  for (int block = 0; block < image.Blocks(); ++block) {
    int inBlock = 0;
    for (int i = 0; i < mzcard::kBlockSize; ++i) inBlock += image.ByteKnown(block, i) ? 0 : 1;
    MZF_CHECK(inBlock == image.UnknownInBlock(block), "%s: block %d: %d unknown, %d counted", how,
              block, inBlock, image.UnknownInBlock(block));
  }
}

// Whether `again` holds every known byte of `image` (and, when `exact`, knows
// exactly the same bytes); `again` unknown bytes of a format without them
// are zeros.
// Whether byte `i` is access bytes 6 to 9 of a trailer whose bits (6 to 8)
// are not all known: the safe value may stand there.
bool SafeAccessByte(const CardImage& image, int i) {
  const int block = i / mzcard::kBlockSize, at = i % mzcard::kBlockSize;
  return mzcard::IsTrailer(block) && at >= 6 && at <= 9 && !image.RangeKnown(block, 6, 3);
}

void CheckSame(const CardImage& image, const CardImage& again, Format format, bool exact) {
  const char* name = mzcard::FormatName(format);
  MZF_CHECK(again.Layout().sectors == image.Layout().sectors, "%s: %d sectors read back as %d",
            name, image.Layout().sectors, again.Layout().sectors);
  const Bytes safe = mzcard::SafeAccessBytes();
  for (int i = 0; i < image.Size(); ++i) {
    const uint8_t standIn = (i % mzcard::kBlockSize >= 6 && i % mzcard::kBlockSize <= 9 &&
                             mzcard::IsTrailer(i / mzcard::kBlockSize))
                                ? safe[static_cast<size_t>(i % mzcard::kBlockSize - 6)]
                                : 0;
    if (!exact && again.Known(i) && SafeAccessByte(image, i) &&
        again.Raw()[static_cast<size_t>(i)] == standIn)
      continue;
    if (image.Known(i)) {
      MZF_CHECK(again.Known(i) &&
                    again.Raw()[static_cast<size_t>(i)] == image.Raw()[static_cast<size_t>(i)],
                "%s: byte %d (block %d) was %02X, read back %s %02X", name, i, i / 16,
                image.Raw()[static_cast<size_t>(i)], again.Known(i) ? "as" : "unknown",
                again.Raw()[static_cast<size_t>(i)]);
    } else if (exact) {
      MZF_CHECK(!again.Known(i), "%s: unknown byte %d (block %d) read back as known", name, i,
                i / 16);
    } else {
      MZF_CHECK(again.Known(i) && again.Raw()[static_cast<size_t>(i)] == standIn,
                "%s: unknown byte %d (block %d) not written as %02X", name, i, i / 16, standIn);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const Format format = kFormats[data[0] % 5];
  std::optional<CardLayout> hint;
  if (const int pick = data[0] / 5 % 4)
    hint = mzcard::LayoutOfSectors(pick == 1 ? 5 : pick == 2 ? 16 : 40);
  const Bytes content(data + 1, data + size);

  (void)mzcard::FormatOfContent(content);
  std::string error;
  auto image = mzcard::ReadImage(content, format, &error, hint);
  if (!image) {
    MZF_CHECK(!error.empty(), "%s: refused without a reason", mzcard::FormatName(format));
    return 0;
  }
  CheckShape(*image, "read");

  for (Format out : kFormats) {
    int zeroed = -1;
    const Bytes written = mzcard::WriteImage(*image, out, &zeroed);
    const bool carries = mzcard::CarriesUnknown(out);
    MZF_CHECK(zeroed == (carries ? 0 : image->UnknownBytes()),
              "%s: %d bytes said written as zeros, %d unknown", mzcard::FormatName(out), zeroed,
              image->UnknownBytes());
    std::string again_error;
    auto again = mzcard::ReadImage(written, out, &again_error, image->Layout());
    MZF_CHECK(again.has_value(), "%s: what it wrote is refused: %s", mzcard::FormatName(out),
              again_error.c_str());
    CheckShape(*again, mzcard::FormatName(out));
    CheckSame(*image, *again, out, carries);
  }
  return 0;
}
