// The routes of the desk itself: the status of the reader and the card, the
// keys to try, and the background job.
#ifndef ZUBTOOL_UI_DESK_ROUTES_H
#define ZUBTOOL_UI_DESK_ROUTES_H

#include <vector>

#include "api.h"
#include "desk.h"

namespace zubtool {
namespace ui {

// GET /api/status, GET and POST /api/keys, GET /api/job, POST /api/job/cancel.
std::vector<Route> DeskRoutes(Desk& desk);

// Every route the workbench serves: the desk's, the card's and the files'.
std::vector<Route> WorkbenchRoutes(Desk& desk);

}  // namespace ui
}  // namespace zubtool

#endif  // ZUBTOOL_UI_DESK_ROUTES_H
