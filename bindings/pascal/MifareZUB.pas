{ SPDX-License-Identifier: MIT. Copyright (c) 2026 The MifareZUB authors. }
{
  MifareZUB: drives a USB MIFARE Classic card reader.

  The twenty functions of MifareZUB.dll (Windows) and libMifareZUB.so
  (elsewhere, C convention) for Delphi and Free Pascal hosts.

  MifareZUB.dll comes in two widths under the one name: a Win32 program loads
  the x86 DLL (stdcall; it needs the reader's CH375DLL.DLL), a Win64 program
  the x64 DLL (it needs CH375DLL64.dll). The declarations below serve both:
  every number is an MZInt32, 32 bits in every compiler, mode and width
  (LongInt in Free Pascal, Integer in Delphi), every text output is a var
  PAnsiChar (pointer-sized), and Win64 has one calling convention, so the
  compiler ignores the stdcall directive there.

  The unit compiles in any Free Pascal mode of the host (fpc, objfpc, delphi:
  it sets its own). A host in the fpc or tp mode, where Integer is 16 bits,
  passes LongInt (or MZInt32) variables to the var arguments.

  One reader link at a time: OpenComm first, then any commands, CloseComm
  last. Every command sends one request frame to the reader and waits at most
  100 ms for its reply. Calls may come from any thread, one at a time.

  Result codes (every function but ErrMsg returns one):
     0          success (MZ_OK)
     1 .. 255   the reader's status byte for a card command (MZ_STATUS_*);
                1 also when zub_LEDx refuses its level
    -1          no open link, or OpenComm could not open the reader (MZ_NO_LINK)
    -2          the exchange failed: no reply within 100 ms, a damaged or short
                reply, a reply to another command, or a request the library
                refused to send (MZ_EXCHANGE_FAILED)

  Texts are zero-terminated 8-bit strings (PAnsiChar). Hexadecimal texts are
  pairs of digits, one pair per byte, first byte first ('A1B2C3D4'); the
  library writes upper case and reads either case.

  Text outputs are `var` PAnsiChar parameters: pass a variable that points at
  your buffer, at least the size named on each function:

    var Buf: array[0..MZ_BLOCK_BUFFER - 1] of AnsiChar; P: PAnsiChar;
    P := @Buf[0];
    if mif_Read(4, P) = MZ_OK then Writeln(PAnsiChar(@Buf[0]));

  ErrMsg texts are Simplified Chinese in code page 936 (GBK). MZMessage
  returns them as a Unicode string; Free Pascal programs on Linux and other
  Unix systems must use the cwstring unit for that conversion.
}
unit MifareZUB;

{$IFDEF FPC}
  {$MODE DELPHI}
  {$H+}
  {$DEFINE MZ_CODEPAGES}
{$ELSE}
  {$IF CompilerVersion >= 20.0}
    {$DEFINE MZ_CODEPAGES}
  {$IFEND}
{$ENDIF}

interface

type
  { A C int32_t. }
  MZInt32 = {$IFDEF FPC}LongInt{$ELSE}Integer{$ENDIF};

const
{$IFDEF MSWINDOWS}
  MifareZUBLibrary = 'MifareZUB.dll';
{$ELSE}
  MifareZUBLibrary = 'libMifareZUB.so';
{$ENDIF}

  { Buffer sizes the text outputs need, zero byte included. }
  MZ_SERIAL_BUFFER = 11;  { mif_Anticollision: 10 hex digits }
  MZ_BLOCK_BUFFER = 33;   { mif_Read: 32 hex digits }
  MZ_MESSAGE_BUFFER = 18; { ErrMsg: at most 17 bytes of GBK text }

  { Lengths of the hexadecimal inputs, in digits. }
  MZ_KEY_DIGITS = 12;     { mif_LoadKey: a 6-byte key }
  MZ_BLOCK_DIGITS = 32;   { mif_Write: a 16-byte block }

  { The library's own result codes. }
  MZ_OK = 0;
  MZ_NO_LINK = -1;
  MZ_EXCHANGE_FAILED = -2;

  { Every result code with a name, as the C header names them. }
  MZ_STATUS_OK = 0;
  MZ_STATUS_NO_LINK = -1;
  MZ_STATUS_EXCHANGE_FAILED = -2;
  MZ_STATUS_NO_CARD = 1;          { no card, none selected, not authenticated }
  MZ_STATUS_CRC_ERROR = 2;
  MZ_STATUS_VALUE_OVERFLOW = 3;
  MZ_STATUS_WRONG_KEY = 4;
  MZ_STATUS_PARITY_ERROR = 5;
  MZ_STATUS_CARD_ERROR = 6;
  MZ_STATUS_INVALID_SERIAL = 8;
  MZ_STATUS_NO_PERMISSION = 16;   { the access conditions forbid it }
  MZ_STATUS_BIT_COUNT_ERROR = 17;
  MZ_STATUS_BYTE_COUNT_ERROR = 18;
  MZ_STATUS_WAITING = 19;
  MZ_STATUS_VALUE_STORE_ERROR = 20;
  MZ_STATUS_WRITE_ERROR = 21;
  MZ_STATUS_INCREMENT_ERROR = 22;
  MZ_STATUS_DECREMENT_ERROR = 23;
  MZ_STATUS_READ_ERROR = 24;
  MZ_STATUS_POLL = 32;
  MZ_STATUS_NOT_IMPLEMENTED = 255;

  { Key types for mif_LoadKey and mif_Authentication (argument a). }
  MZ_KEY_A = 0;
  MZ_KEY_B = 1;

  { mif_Request modes. }
  MZ_REQUEST_IDLE = 0;
  MZ_REQUEST_ALL = 1;

  { LED levels zub_LEDx accepts. }
  MZ_LED_OFF = 0;
  MZ_LED_HALF = 127;
  MZ_LED_FULL = 255;

{ ---- The link ---------------------------------------------------------- }

{ Opens the reader at USB device index DeviceIndex (its low 8 bits count).
  Param is ignored. An open link is closed first. 0, or -1 when no reader
  can be opened at that index. }
function OpenComm(DeviceIndex, Param: MZInt32): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ Closes the reader and discards the link. Always 0, also with no link. }
function CloseComm: MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ ---- Card commands (result: status byte, -1 or -2) --------------------- }

{ Wakes cards: Mode 1 every card (halted ones too), anything else only idle
  ones. TagType receives the 2-byte answer to request, first byte most
  significant ($0400 for a 1K card); 0 on a nonzero status. }
function mif_Request(Mode: MZInt32; var TagType: MZInt32): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ Serial receives the card's serial as 10 hex digits: the 4 UID bytes, then
  their check byte (the XOR of the four), '1A7B8C54B9'; the empty text on a
  nonzero status. The reader's anticollision handles 4-byte UIDs only.
  Buffer: MZ_SERIAL_BUFFER bytes. }
function mif_Anticollision(var Serial: PAnsiChar): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ Selects the card with this serial (hex, as mif_Anticollision gave it).
  Size receives the select answer ($08 for a 1K card); 0 on a nonzero
  status. }
function mif_Select(Serial: PAnsiChar; var Size: MZInt32): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ Loads a key (12 hex digits) into the reader: A the key type (MZ_KEY_A,
  MZ_KEY_B), B the key slot, both 0 to 255. }
function mif_LoadKey(A, B: MZInt32; Key: PAnsiChar): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ Authenticates with a loaded key: A the key type, B the slot, C a block of
  the sector to open (each 0 to 255). }
function mif_Authentication(A, B, C: MZInt32): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ Data receives block Block's 16 bytes as 32 hex digits; the empty text on a
  nonzero status. Buffer: MZ_BLOCK_BUFFER bytes. }
function mif_Read(Block: MZInt32; var Data: PAnsiChar): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ Writes block Block with Data, 32 hex digits for 16 bytes. }
function mif_Write(Block: MZInt32; Data: PAnsiChar): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ Value blocks: add or subtract Value into the card's transfer buffer, copy
  the block into it (restore), or write the buffer into a block (transfer). }
function mif_Increment(Block, Value: MZInt32): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;
function mif_Decrement(Block, Value: MZInt32): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;
function mif_Restore(Block: MZInt32): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;
function mif_Transfer(Block: MZInt32): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ Halts the selected card. }
function mif_Halt: MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ ---- Reader signals ---------------------------------------------------- }

{ Beeper on (On = 1) or off. 0 once the reader answered; -1 or -2. }
function zub_beep(On: MZInt32): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ Beeps for Ms milliseconds (beeper on, wait, off). Always 0. }
function zub_beepms(Ms: MZInt32): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ LED Led (0 to 255) on (On = 1) or off. As zub_beep. }
function zub_LED(Led, On: MZInt32): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ LED level 0, 127 or 255; any other level returns 1 and sends nothing. }
function zub_LEDx(Level: MZInt32): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ Relay control: accepted and ignored; always 0. }
function mif_CtrlRelay(Relay, On: MZInt32): MZInt32;
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ ---- Texts ------------------------------------------------------------- }

{ Writes the message for result code Code into the buffer Text points at:
  GBK text, 'OK' for 0. Buffer: MZ_MESSAGE_BUFFER bytes. }
procedure ErrMsg(Code: MZInt32; var Text: PAnsiChar);
  {$IFDEF MSWINDOWS}stdcall;{$ELSE}cdecl;{$ENDIF} external MifareZUBLibrary;

{ The message for a result code as the library gives it: GBK bytes (tagged
  with code page 936 where the compiler knows code pages). }
function MZMessageGBK(Code: MZInt32): AnsiString;

{$IFDEF MZ_CODEPAGES}
{ The message for a result code as a Unicode string. }
function MZMessage(Code: MZInt32): UnicodeString;
{$ENDIF}

{ The English description of a result code, as the C header's
  MZ_STATUS_TABLE has it (MZDescription(4) is 'wrong key'); 'unknown result'
  for a code without a name. }
function MZDescription(Code: MZInt32): string;

{ Anticollision with the buffer made for you: the result code; Serial
  receives the 10 hex digits. A serial that is not 10 hex digits is not
  trusted: MZ_EXCHANGE_FAILED, and Serial is empty. }
function MZSerial(out Serial: AnsiString): MZInt32;

{ Reads block Block with the buffer made for you: the result code; Data
  receives the 32 hex digits. A block that is not 32 hex digits is not
  trusted: MZ_EXCHANGE_FAILED, and Data is empty. }
function MZReadBlock(Block: MZInt32; out Data: AnsiString): MZInt32;

implementation

function MZMessageGBK(Code: MZInt32): AnsiString;
var
  Buffer: array[0..MZ_MESSAGE_BUFFER - 1] of AnsiChar;
  P: PAnsiChar;
  Len: MZInt32;
begin
  FillChar(Buffer, SizeOf(Buffer), 0);
  P := @Buffer[0];
  ErrMsg(Code, P);
  Len := 0;
  while (Len < MZ_MESSAGE_BUFFER - 1) and (Buffer[Len] <> #0) do
    Inc(Len);
  SetString(Result, PAnsiChar(@Buffer[0]), Len);
{$IFDEF MZ_CODEPAGES}
  SetCodePage(RawByteString(Result), 936, False);
{$ENDIF}
end;

{$IFDEF MZ_CODEPAGES}
function MZMessage(Code: MZInt32): UnicodeString;
begin
  Result := UnicodeString(MZMessageGBK(Code));
end;
{$ENDIF}

function MZDescription(Code: MZInt32): string;
begin
  case Code of
    MZ_STATUS_OK: Result := 'success';
    MZ_STATUS_NO_CARD: Result := 'no card answers, or the sector is not authenticated';
    MZ_STATUS_CRC_ERROR: Result := 'CRC error in the exchange with the card';
    MZ_STATUS_VALUE_OVERFLOW: Result := 'value overflow';
    MZ_STATUS_WRONG_KEY: Result := 'wrong key';
    MZ_STATUS_PARITY_ERROR: Result := 'parity error in the exchange with the card';
    MZ_STATUS_CARD_ERROR: Result := 'the exchange with the card failed';
    MZ_STATUS_INVALID_SERIAL: Result := 'invalid serial number';
    MZ_STATUS_NO_PERMISSION: Result := 'the access conditions forbid it';
    MZ_STATUS_BIT_COUNT_ERROR: Result := 'wrong bit count in the exchange with the card';
    MZ_STATUS_BYTE_COUNT_ERROR: Result := 'wrong byte count in the exchange with the card';
    MZ_STATUS_WAITING: Result := 'waiting for DV';
    MZ_STATUS_VALUE_STORE_ERROR: Result := 'nothing to transfer, or the value was not stored';
    MZ_STATUS_WRITE_ERROR: Result := 'write failed, or the block is outside the card';
    MZ_STATUS_INCREMENT_ERROR: Result := 'increment failed: not a value block';
    MZ_STATUS_DECREMENT_ERROR: Result := 'decrement or restore failed: not a value block';
    MZ_STATUS_READ_ERROR: Result := 'read failed, or the block is outside the card';
    MZ_STATUS_POLL: Result := 'poll';
    MZ_STATUS_NOT_IMPLEMENTED: Result := 'the reader does not know the command';
    MZ_STATUS_NO_LINK: Result := 'reader not open or not answering';
    MZ_STATUS_EXCHANGE_FAILED: Result := 'no valid reply from the reader';
  else
    Result := 'unknown result';
  end;
end;

{ The text in Buffer up to its zero byte, if it is exactly Digits hex
  digits; otherwise the empty text and False. }
function MZHexText(Buffer: PAnsiChar; Size, Digits: MZInt32; out Text: AnsiString): Boolean;
var
  Len: MZInt32;
begin
  Len := 0;
  while (Len < Size - 1) and (Buffer[Len] <> #0) do
    Inc(Len);
  Result := Len = Digits;
  while Result and (Len > 0) do
  begin
    Dec(Len);
    Result := Buffer[Len] in ['0'..'9', 'A'..'F', 'a'..'f'];
  end;
  if Result then
    SetString(Text, Buffer, Digits)
  else
    Text := '';
end;

function MZSerial(out Serial: AnsiString): MZInt32;
var
  Buffer: array[0..MZ_SERIAL_BUFFER - 1] of AnsiChar;
  P: PAnsiChar;
begin
  FillChar(Buffer, SizeOf(Buffer), 0);
  P := @Buffer[0];
  Result := mif_Anticollision(P);
  if not MZHexText(@Buffer[0], MZ_SERIAL_BUFFER, MZ_SERIAL_BUFFER - 1, Serial) and (Result = MZ_OK) then
    Result := MZ_EXCHANGE_FAILED;
  if Result <> MZ_OK then
    Serial := '';
end;

function MZReadBlock(Block: MZInt32; out Data: AnsiString): MZInt32;
var
  Buffer: array[0..MZ_BLOCK_BUFFER - 1] of AnsiChar;
  P: PAnsiChar;
begin
  FillChar(Buffer, SizeOf(Buffer), 0);
  P := @Buffer[0];
  Result := mif_Read(Block, P);
  if not MZHexText(@Buffer[0], MZ_BLOCK_BUFFER, MZ_BLOCK_DIGITS, Data) and (Result = MZ_OK) then
    Result := MZ_EXCHANGE_FAILED;
  if Result <> MZ_OK then
    Data := '';
end;

end.
