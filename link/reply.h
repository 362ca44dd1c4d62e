// What a reader's reply says: its status byte and its fields, read from the
// reply text the link leaves behind (TQVcomm::ReplyText(), the reply frame's
// bytes 2 to L as upper-case hex pairs). The one reader of replies for the
// library's exports and the PC/SC driver. Pure functions: no link, no state.
//
// The reader lays out every reply text the same way:
//
//   characters 1-2   the lead byte 01, echoed; not examined
//   characters 3-4   the status byte: 0 when the command succeeded
//   characters 5-    the command's fields, then the check byte
//
// The check byte stays at the end of the text, so a reply shorter than a
// field a command expects puts the check byte's two characters into it; the
// exports hand that on as they find it, the driver takes only what stands
// before the check byte.
#ifndef MIFAREZUB_LINK_REPLY_H
#define MIFAREZUB_LINK_REPLY_H

#include <stddef.h>
#include <stdint.h>

#include "hex_table.h"

namespace mzub {

/** A reply text taken apart by ParseReply(). Points into the text: valid as
    long as the text is (for the link's reply, until its next exchange). */
struct ReplyParts {
  /** Characters 3 and 4 as one byte. */
  uint8_t status;
  /** False for a reply of the lead byte and the check byte alone: `status`
      is then the check byte, standing where the status would. */
  bool ownStatus;
  /** The text from character 5 on: the fields, then the check byte (when
      `ownStatus` is set). */
  const char* fields;
  /** Characters in `fields`. */
  size_t fieldsLength;
};

/** @brief Finds the status byte and the fields of a reply text.

    @param hex     The reply text: hex pairs as the link writes them
                   (upper case; lower case is read as well). Need not end
                   with a zero byte; may be null when `length` is 0.
    @param length  Its length in characters.
    @param parts   Filled in on success; left untouched on failure.

    @returns true when the text holds a status byte: 4 characters or more.
             false for a shorter text (a reply that has nothing after its
             lead byte), or a status pair that is not hexadecimal. */
inline bool ParseReply(const char* hex, size_t length, ReplyParts* parts) {
  // Inline: every card command of the exports and the driver comes here.
  if (length < 4) return false;
  const int high = detail::DigitOf(hex[2]);
  const int low = detail::DigitOf(hex[3]);
  if ((high | low) < 0) return false;
  parts->status = static_cast<uint8_t>(high * 16 + low);
  parts->fields = hex + 4;
  parts->fieldsLength = length - 4;
  parts->ownStatus = length >= 6;  // the check byte follows the status
  return true;
}

/** One field of a reply, as text: the first `chars` characters of the
    fields, or all of them when the reply is shorter (its check byte then
    included). Empty when the reply ends at its status. */
struct ReplyField {
  const char* text;
  size_t length;
};
inline ReplyField FieldText(const ReplyParts& parts, size_t chars) {
  return {parts.fields, parts.fieldsLength < chars ? parts.fieldsLength : chars};
}

/** @brief Reads a field as one unsigned number, first pair most significant.

    @param parts  A reply taken apart by ParseReply().
    @param chars  The field's width in characters (at most 8); a shorter
                  reply gives what it holds, as FieldText() does.
    @param value  Set to the number on success; untouched on failure.

    @returns true on success; false when the field is empty or holds a
             character that is not a hexadecimal digit. */
bool FieldNumber(const ReplyParts& parts, size_t chars, uint32_t* value);

/** @brief Decodes the field bytes that stand before the check byte.

    @param parts     A reply taken apart by ParseReply().
    @param out       Receives the bytes, first first.
    @param capacity  Room in `out`: the bytes beyond it are not decoded.

    @returns the number of bytes written: 0 when the reply carries no field,
             or has no status of its own (`ownStatus` false); a pair that is
             not hexadecimal ends the fields before it. */
size_t FieldBytes(const ReplyParts& parts, uint8_t* out, size_t capacity);

}  // namespace mzub

#endif  // MIFAREZUB_LINK_REPLY_H
