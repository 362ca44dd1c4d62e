{
  sample: a short MIFARE Classic session through the MifareZUB unit, one line
  per step. Beside a reader with a 1K card on its transport keys (or the
  virtual reader) every step gives the result it should, and the program
  ends with exit code 0.

  Usage: sample [device-index]

  Free Pascal on Linux (the unit's compiled files go to -FU, so the unit's
  folder may be read-only; -Fl and the run path name libMifareZUB.so's folder):
    fpc -Fu<unit folder> -FU<output folder> -Fl<libdir> -k-rpath -k<libdir> sample.pas
  Free Pascal on Windows:
    fpc -Fu<unit folder> -FU<output folder> sample.pas
  Delphi:
    dcc32 -U<unit folder> -NU<output folder> sample.pas   (dcc64 for Win64)
}
program sample;

{$IFDEF FPC}
  {$MODE DELPHI}
  {$H+}
{$ENDIF}
{$IFDEF MSWINDOWS}
  {$APPTYPE CONSOLE}
{$ENDIF}

uses
{$IFDEF MSWINDOWS}
  Windows,
{$ENDIF}
{$IFDEF UNIX}
  cwstring, { GBK messages to Unicode, through iconv }
{$ENDIF}
  SysUtils,
  MifareZUB;

var
  Failures: Integer = 0;

{ The message of a result code, for the console. }
function Message(Code: Integer): string;
begin
{$IFDEF FPC}
  Result := UTF8Encode(MZMessage(Code));
{$ELSE}
  Result := MZMessage(Code);
{$ENDIF}
end;

{ Prints one step with its result and text (a nonzero result also with its
  English description); counts unexpected results. }
function Step(const What: string; Code, Expected: Integer; const Detail: string = ''): Integer;
var
  Mark, Meaning: string;
begin
  Mark := '';
  if Code <> Expected then
  begin
    Mark := '   <-- unexpected';
    Inc(Failures);
  end;
  Meaning := '';
  if Code <> MZ_OK then
    Meaning := ' (' + MZDescription(Code) + ')';
  Writeln(Format('%-34s %4d  %s%s %s%s', [What, Code, Message(Code), Meaning, Detail, Mark]));
  Result := Code;
end;

{ The 16 bytes of a value block as hex: the value, its inverse and the value
  again (least significant byte first), then the address, its inverse, the
  address and its inverse. }
function ValueBlockHex(Value: Integer; Address: Byte): AnsiString;
var
  V: Cardinal;
  Bytes: array[0..15] of Byte;
  I: Integer;
begin
  V := Cardinal(Value);
  for I := 0 to 3 do
  begin
    Bytes[I] := Byte(V shr (8 * I));
    Bytes[4 + I] := not Bytes[I];
    Bytes[8 + I] := Bytes[I];
  end;
  Bytes[12] := Address;
  Bytes[13] := not Address;
  Bytes[14] := Address;
  Bytes[15] := not Address;
  Result := '';
  for I := 0 to 15 do
    Result := Result + AnsiString(IntToHex(Bytes[I], 2));
end;

{ The value of a value block read as hex (first four bytes, least
  significant first). }
function ValueOf(const Hex: AnsiString): Integer;
var
  V: Cardinal;
  I: Integer;
begin
  V := 0;
  for I := 3 downto 0 do
    V := (V shl 8) or Cardinal(StrToInt('$' + string(Copy(Hex, 2 * I + 1, 2))));
  Result := Integer(V);
end;

const
  Greeting = '48656C6C6F2C2050617363616C21000A'; { 'Hello, Pascal!' }

var
  Device, TagType, Size, R: Integer;
  SerialBuffer: array[0..MZ_SERIAL_BUFFER - 1] of AnsiChar;
  BlockBuffer: array[0..MZ_BLOCK_BUFFER - 1] of AnsiChar;
  Serial, Data: PAnsiChar;
  ValueHex: AnsiString;

begin
{$IFDEF FPC}
  { Texts in UTF-8, whatever the locale. }
  DefaultSystemCodePage := CP_UTF8;
  SetTextCodePage(Output, CP_UTF8);
  {$IFDEF MSWINDOWS}
  SetConsoleOutputCP(CP_UTF8);
  {$ENDIF}
{$ENDIF}
  Device := 0;
  if ParamCount > 0 then
    Device := StrToIntDef(ParamStr(1), 0);
  FillChar(SerialBuffer, SizeOf(SerialBuffer), 0);
  FillChar(BlockBuffer, SizeOf(BlockBuffer), 0);
  Serial := @SerialBuffer[0];
  Data := @BlockBuffer[0];

  { Each call is made before its line is printed: Pascal does not promise
    the order in which a call's arguments are evaluated. }
  R := OpenComm(Device, 0);
  if Step('open the reader', R, MZ_OK, Format('device %d', [Device])) <> MZ_OK then
    Halt(1);

  R := mif_Request(MZ_REQUEST_ALL, TagType);
  Step('request all cards', R, MZ_OK, Format('ATQA %.4X', [TagType]));
  R := mif_Anticollision(Serial);
  Step('anticollision', R, MZ_OK, 'serial ' + string(AnsiString(Serial)));
  R := mif_Select(Serial, Size);
  Step('select the card', R, MZ_OK, Format('SAK %.2X', [Size]));

  Step('load key A into slot 0', mif_LoadKey(MZ_KEY_A, 0, 'FFFFFFFFFFFF'), MZ_OK);
  Step('authenticate sector 1', mif_Authentication(MZ_KEY_A, 0, 4), MZ_OK);
  Step('write block 4', mif_Write(4, Greeting), MZ_OK, Greeting);
  R := mif_Read(4, Data);
  Step('read block 4 back', R, MZ_OK, string(AnsiString(Data)));
  if AnsiString(Data) <> Greeting then
  begin
    Writeln('block 4 does not hold what was written');
    Inc(Failures);
  end;

  ValueHex := ValueBlockHex(100, 5);
  Step('make block 5 a value of 100', mif_Write(5, PAnsiChar(ValueHex)), MZ_OK, string(ValueHex));
  Step('increment block 5 by 25', mif_Increment(5, 25), MZ_OK);
  Step('transfer into block 5', mif_Transfer(5), MZ_OK);
  R := mif_Read(5, Data);
  if Step('read block 5', R, MZ_OK, string(AnsiString(Data))) = MZ_OK then
  begin
    Writeln(Format('%-34s value %d', ['', ValueOf(AnsiString(Data))]));
    if ValueOf(AnsiString(Data)) <> 125 then
      Inc(Failures);
  end;

  Step('halt the card', mif_Halt, MZ_OK);
  Step('request idle cards: none answers', mif_Request(MZ_REQUEST_IDLE, TagType), MZ_STATUS_NO_CARD);
  Step('request all wakes the halted card', mif_Request(MZ_REQUEST_ALL, TagType), MZ_OK);
  Step('anticollision', mif_Anticollision(Serial), MZ_OK);
  Step('select the card', mif_Select(Serial, Size), MZ_OK);
  Step('load a wrong key A into slot 1', mif_LoadKey(MZ_KEY_A, 1, 'A0A1A2A3A4A5'), MZ_OK);
  Step('authenticate with it', mif_Authentication(MZ_KEY_A, 1, 4), MZ_STATUS_WRONG_KEY);

  Step('beep for 50 ms', zub_beepms(50), MZ_OK);
  Step('LED 1 on', zub_LED(1, 1), MZ_OK);
  Step('LED level 128 is refused', zub_LEDx(128), 1);
  Step('close the reader', CloseComm, MZ_OK);
  Step('a command after closing', mif_Halt, MZ_NO_LINK);

  if Failures = 0 then
    Writeln('session complete')
  else
  begin
    Writeln(Format('session had %d unexpected results', [Failures]));
    Halt(1);
  end;
end.
