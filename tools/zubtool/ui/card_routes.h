// The card's routes of the workbench: reading the whole card, checking and
// writing blocks, value blocks, access conditions and trailers, and the key
// search. Every check is zubtool's own (card/, verify.*); every card command
// goes through the desk.
#ifndef ZUBTOOL_UI_CARD_ROUTES_H
#define ZUBTOOL_UI_CARD_ROUTES_H

#include <vector>

#include "api.h"
#include "desk.h"

namespace zubtool {
namespace ui {

// POST /api/card/read, /api/check/block, /api/card/write, /api/card/value,
// /api/card/ndef,
// /api/trailer/build, /api/keys/search, /api/keys/file; GET /api/conditions.
// The routes keep `desk` (and the last key search) for their lifetime.
std::vector<Route> CardRoutes(Desk& desk);

}  // namespace ui
}  // namespace zubtool

#endif  // ZUBTOOL_UI_CARD_ROUTES_H
