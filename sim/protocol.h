// The reader protocol's commands, as the test side knows them: the virtual
// reader's firmware and trace, the reader fuzz target, the benchmark's instant
// vendor and the fuzz seed writer (fuzz/seeds.py reads the table below as
// text, so keep one entry per line in this form). The library and the host
// fuzz oracle keep their own knowledge of the frames on purpose: they are
// checked against this table, not built from it.
//
// A request carries its command's data bytes: the lead byte 01, then
// `request` argument bytes (or `request` + `optional`: select may send the
// UID's BCC along). A reply with status 0 carries `fields` bytes.
#ifndef MIFAREZUB_SIM_PROTOCOL_H
#define MIFAREZUB_SIM_PROTOCOL_H

#include <stddef.h>
#include <stdint.h>

namespace zubsim {

struct Command {
  uint8_t code;
  const char* name;
  uint8_t request;   // argument bytes after the lead byte
  uint8_t optional;  // further argument bytes the command also takes
  uint8_t fields;    // reply field bytes on status 0
  const char* description;
};

// The order is part of the reader fuzz target's input format (a step picks a
// command by its position): add new commands at the end.
constexpr Command kCommands[] = {
    {0x10, "request idle", 0, 0, 2, "wake an idle card; fields: ATQA"},
    {0x11, "request all", 0, 0, 2, "wake an idle or halted card; fields: ATQA"},
    {0x20, "anticollision", 0, 0, 5, "fields: the UID and its BCC"},
    {0x30, "select", 4, 1, 1, "args: UID (and its BCC); fields: SAK"},
    {0x40, "authenticate", 3, 0, 0, "args: key type, key slot, block of the sector"},
    {0x50, "read", 1, 0, 16, "args: block; fields: its 16 bytes"},
    {0x60, "write", 17, 0, 0, "args: block, 16 bytes"},
    {0x70, "increment", 5, 0, 0, "args: block, value (4 bytes, least significant first)"},
    {0x80, "decrement", 5, 0, 0, "args: block, value (4 bytes, least significant first)"},
    {0x90, "restore", 1, 0, 0, "args: block (into the transfer buffer)"},
    {0xA0, "transfer", 1, 0, 0, "args: block (from the transfer buffer)"},
    {0xD0, "halt", 0, 0, 0, "put the selected card to sleep"},
    {0xE0, "load key", 8, 0, 0, "args: key type, slot, key (6 bytes)"},
    {0xF1, "LED", 2, 0, 0, "args: LED number, 01 on"},
    {0xF3, "beep", 1, 0, 0, "args: 01 on"},
    {0xF6, "LED level", 1, 0, 0, "args: level"},
};
constexpr size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];

// The table entry of a command, or nullptr for one the reader does not know.
constexpr const Command* find_command(uint8_t code) {
  for (const Command& c : kCommands) {
    if (c.code == code) return &c;
  }
  return nullptr;
}

constexpr bool known_command(uint8_t code) {
  for (const Command& c : kCommands) {
    if (c.code == code) return true;
  }
  return false;
}

// Data bytes (lead byte included) of a request; 0 for an unknown command.
constexpr size_t request_data_size(uint8_t code) {
  const Command* c = find_command(code);
  return c ? 1u + c->request : 0u;
}

// True when a request to a known command carries `size` data bytes (lead
// byte included): what the command takes, or that and its optional bytes.
constexpr bool request_size_fits(uint8_t code, size_t size) {
  const Command* c = find_command(code);
  return c &&
         (size == 1u + c->request || (c->optional != 0 && size == 1u + c->request + c->optional));
}

// The reply fields of a status-0 reply to `code` (0 for an unknown one).
constexpr size_t reply_fields(uint8_t code) {
  const Command* c = find_command(code);
  return c ? c->fields : 0u;
}

// The longest reply: L, command, 01, status, the most fields, check byte.
constexpr size_t longest_reply() {
  size_t most = 0;
  for (const Command& c : kCommands) most = c.fields > most ? c.fields : most;
  return 5 + most;
}

// A value argument: 4 bytes, least significant first, a signed number.
inline int32_t le32(const uint8_t* p) {
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
                              static_cast<uint32_t>(p[2]) << 16 |
                              static_cast<uint32_t>(p[3]) << 24);
}

namespace cmd {
constexpr uint8_t kRequestIdle = 0x10;
constexpr uint8_t kRequestAll = 0x11;
constexpr uint8_t kAnticollision = 0x20;
constexpr uint8_t kSelect = 0x30;
constexpr uint8_t kAuthenticate = 0x40;
constexpr uint8_t kRead = 0x50;
constexpr uint8_t kWrite = 0x60;
constexpr uint8_t kIncrement = 0x70;
constexpr uint8_t kDecrement = 0x80;
constexpr uint8_t kRestore = 0x90;
constexpr uint8_t kTransfer = 0xA0;
constexpr uint8_t kHalt = 0xD0;
constexpr uint8_t kLoadKey = 0xE0;
constexpr uint8_t kLed = 0xF1;
constexpr uint8_t kBeep = 0xF3;
constexpr uint8_t kLedLevel = 0xF6;
}  // namespace cmd

// The names above are the table's codes.
static_assert(known_command(cmd::kRequestIdle) && known_command(cmd::kRequestAll) &&
                  known_command(cmd::kAnticollision) && known_command(cmd::kSelect) &&
                  known_command(cmd::kAuthenticate) && known_command(cmd::kRead) &&
                  known_command(cmd::kWrite) && known_command(cmd::kIncrement) &&
                  known_command(cmd::kDecrement) && known_command(cmd::kRestore) &&
                  known_command(cmd::kTransfer) && known_command(cmd::kHalt) &&
                  known_command(cmd::kLoadKey) && known_command(cmd::kLed) &&
                  known_command(cmd::kBeep) && known_command(cmd::kLedLevel),
              "every named command is in the table");

}  // namespace zubsim

#endif  // MIFAREZUB_SIM_PROTOCOL_H
