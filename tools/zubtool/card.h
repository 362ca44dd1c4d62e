// zubtool speaks of cards in the card model's terms (card/): its names are
// the tool's own.
#ifndef ZUBTOOL_CARD_H
#define ZUBTOOL_CARD_H

#include "access_text.h"
#include "card_format.h"
#include "formats.h"
#include "image.h"
#include "image_diff.h"
#include "key_list.h"
#include "trailer_check.h"

namespace zubtool {
using namespace mzcard;
}  // namespace zubtool

#endif  // ZUBTOOL_CARD_H
