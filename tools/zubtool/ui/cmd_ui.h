// The `ui` command, the workbench's entry in zubtool's command table: the
// workbench builds on the tool's core, and the program adds this entry to
// the core's commands (main.cpp).
#ifndef ZUBTOOL_UI_CMD_UI_H
#define ZUBTOOL_UI_CMD_UI_H

#include "command_table.h"

namespace zubtool {

CommandSpec UiCommand();

}  // namespace zubtool

#endif  // ZUBTOOL_UI_CMD_UI_H
