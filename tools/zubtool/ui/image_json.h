// Card images as the workbench's JSON shows them, and their description:
// per sector its keys, access conditions in words and as rights, value
// blocks and block 0. The same for a card just read and for a file opened.
#ifndef ZUBTOOL_UI_IMAGE_JSON_H
#define ZUBTOOL_UI_IMAGE_JSON_H

#include <string>

#include "api.h"
#include "card.h"

namespace zubtool {
namespace ui {

// {"card", "uid", "atqa", "sak", "blocks": ["hex with ?? for unknown bytes"]}
JsonValue ImageToJson(const CardImage& image);
// The reverse; throws BadRequest for anything malformed (a wrong number of
// blocks for the card, a block that is not 32 characters of hex and ??).
CardImage ImageFromJson(const JsonValue& json);

// Hex of `bytes`, or null when they are not known.
JsonValue HexOrNull(const std::optional<Bytes>& bytes);
// "0011??33...": a block, two hex digits a byte, ?? where unknown.
std::string BlockText(const CardImage& image, int block);
// The rights of a data-block condition or a trailer condition, as objects.
JsonValue DataRightsJson(int condition);
JsonValue TrailerRightsJson(int condition);

// One sector of the image described (see README.md, "sector").
JsonValue DescribeSector(const CardImage& image, int sector);
// Every sector.
JsonValue DescribeImage(const CardImage& image);

// The application directory the image holds (see README.md, "mad"): each
// sector's entry and a short label ("MAD", "NFC", the AID); null where
// blocks 1 and 2 are not known or empty.
JsonValue DescribeMad(const CardImage& image);
// The NDEF message in the NFC sectors the directory names, its records
// decoded (see README.md, "ndef"); null where the directory names none.
JsonValue DescribeNdef(const CardImage& image);

}  // namespace ui
}  // namespace zubtool

#endif  // ZUBTOOL_UI_IMAGE_JSON_H
