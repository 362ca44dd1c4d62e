// What the workbench's route tests share: a virtual reader as a fresh
// process finds it, and a route called as the server calls it.
#ifndef WORKBENCH_ROUTE_SUPPORT_H
#define WORKBENCH_ROUTE_SUPPORT_H

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "api.h"
#include "zubsim.h"

namespace zubtool {
namespace ui {

// The virtual reader as configured by default: a new 1K card, the trace in
// memory only.
inline void FreshVirtualReader() {
  setenv("ZUBSIM_TRACE", "off", 1);
  unsetenv("ZUBSIM_IMAGE");
  unsetenv("ZUBSIM_DEVICE_INDEX");
  zubsim_reset();
}

// Lines of the virtual reader's trace kept in memory so far.
inline int TraceLines() {
  std::string trace(zubsim_trace(nullptr, 0) + 1, '\0');
  zubsim_trace(&trace[0], trace.size());
  int lines = 0;
  for (char c : trace) lines += c == '\n';
  return lines;
}

// As the server calls a route: a malformed body is a 400.
inline Reply CallRoute(const std::vector<Route>& routes, const std::string& method,
                       const std::string& path, JsonValue body) {
  for (const auto& route : routes) {
    if (route.method != method || route.path != path) continue;
    try {
      return route.handler(Request{method, path, std::move(body)});
    } catch (const BadRequest& bad) {
      return Reply::Error(400, bad.message);
    }
  }
  ADD_FAILURE() << "no route " << method << " " << path;
  return Reply::Error(404, "no route");
}

}  // namespace ui
}  // namespace zubtool

#endif  // WORKBENCH_ROUTE_SUPPORT_H
