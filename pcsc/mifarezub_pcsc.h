/* What PC/SC applications can ask of the MifareZUB reader driver beyond
 * APDUs: the reader's beeper and LEDs through SCardControl, and the card's
 * UID through SCardGetAttrib. Plain C, no dependency on the PC/SC headers.
 *
 * SCardControl(card, MIFAREZUB_IOCTL_SIGNAL, request, length, NULL, 0, &n)
 * with one request of these layouts (n is 0 afterwards: nothing comes back):
 *
 *   01 ss        beeper on (ss 01) or off (ss 00)
 *   02 hh ll     beep for hh*256+ll milliseconds (1 to 5000); returns after
 *   03 nn ss     LED nn (00-FF) on (ss 01) or off (ss 00)
 *   04 vv        LED level vv: 00, 7F or FF
 *
 * A request of any other layout is refused (SCARD_E_UNSUPPORTED_FEATURE,
 * nothing sent to the reader); a reader that does not answer gives
 * SCARD_E_NOT_TRANSACTED. Connect with SCARD_SHARE_DIRECT to control a
 * reader with no card in its field.
 */
#ifndef MIFAREZUB_PCSC_H
#define MIFAREZUB_PCSC_H

/* pcsc-lite's SCARD_CTL_CODE(3600): 0x42000000 + 3600. (On Windows the same
 * code would be SCARD_CTL_CODE(3600) there, 0x00313840.) */
#define MIFAREZUB_IOCTL_SIGNAL 0x42000E10UL

/* SCardGetAttrib: the card's UID (4 bytes), while a card is powered. */
#define MIFAREZUB_ATTR_UID 0x00070100UL /* SCARD_ATTR_VALUE(SCARD_CLASS_VENDOR_DEFINED, 0x0100) */

enum {
  kMifareZubSignalBeeper = 0x01,
  kMifareZubSignalBeep = 0x02,
  kMifareZubSignalLed = 0x03,
  kMifareZubSignalLedLevel = 0x04,
  kMifareZubMaxBeepMs = 5000
};

#endif /* MIFAREZUB_PCSC_H */
