Attribute VB_Name = "MifareZUB"
' SPDX-License-Identifier: MIT. Copyright (c) 2026 The MifareZUB authors.
'
' MifareZUB: drives a USB MIFARE Classic card reader. The twenty functions of
' MifareZUB.dll for Visual Basic 6 and for VBA (Office 2010 and later, 32-bit
' and 64-bit; earlier Office through the VB6 branch). Add this module to the
' project (VB6: Project > Add Module > Existing; VBA editor: File > Import
' File) and call the functions by their names.
'
' Which DLL. The process's width decides: VB6 programs and 32-bit Office load
' the x86 MifareZUB.dll (it needs the reader's CH375DLL.DLL), 64-bit Office
' (#If Win64) the x64 MifareZUB.dll (it needs CH375DLL64.dll). Both have the
' one name, so the declarations below name "MifareZUB.dll" alone and Windows
' looks for it on its search path. Office's own folder is not yours:
' MZLoadLibrary(folder) below loads the DLL of the process's width from
' folder\x86\ or folder\x64\ (the layout of the Windows package) before the
' first call, and the vendor library from beside it.
'
' Types. Every number the functions take or give is a 32-bit integer, Long in
' VB6 and in VBA at both widths. No argument is a pointer passed by value, so
' none is a LongPtr: an output number is ByRef Long (VB passes the address of
' your variable), a text input is ByVal String (VB passes the address of a
' zero-terminated ANSI copy). Only LoadLibrary's module handle, a pointer, is
' a LongPtr. 64-bit VBA needs PtrSafe on every Declare (#If VBA7).
'
' Text outputs (mif_Anticollision, mif_Read, ErrMsg). The library takes the
' address of a variable that holds the address of your buffer and writes a
' zero-terminated text into that buffer. ByRef s As String passes exactly
' that: the address of a variable that holds the address of the text's ANSI
' copy. So the buffer must exist before the call, at its full size, and the
' text is cut at its zero byte after it:
'
'     Dim s As String
'     s = String$(MZ_BLOCK_BUFFER, vbNullChar)   ' 33 characters
'     If mif_Read(4, s) = MZ_OK Then s = MZCut(s)
'
' An empty or too short String is a buffer overrun inside the DLL. MZSerial,
' MZReadBlock and MZMessage below do this for you.
'
' Result codes: every function but ErrMsg returns one. 0 is success, 1 to 255
' the reader's status byte for a card command (MZ_STATUS_*), -1 no open link
' (or OpenComm found no reader), -2 a failed exchange. ErrMsg gives the
' library's message in Simplified Chinese (code page 936: right on a system
' whose ANSI code page is 936), MZDescription the English description.
'
' One reader link at a time: OpenComm first, CloseComm last.

Option Explicit

' Buffer sizes the text outputs need, zero byte included.
Public Const MZ_SERIAL_BUFFER As Long = 11  ' mif_Anticollision: 10 hex digits
Public Const MZ_BLOCK_BUFFER As Long = 33   ' mif_Read: 32 hex digits
Public Const MZ_MESSAGE_BUFFER As Long = 18 ' ErrMsg: at most 17 bytes of text

' Lengths of the hexadecimal inputs, in digits.
Public Const MZ_KEY_DIGITS As Long = 12     ' mif_LoadKey: a 6-byte key
Public Const MZ_BLOCK_DIGITS As Long = 32   ' mif_Write: a 16-byte block

' The library's own result codes.
Public Const MZ_OK As Long = 0
Public Const MZ_NO_LINK As Long = -1
Public Const MZ_EXCHANGE_FAILED As Long = -2

' Every result code with a name, as the C header names them.
Public Const MZ_STATUS_OK As Long = 0
Public Const MZ_STATUS_NO_CARD As Long = 1
Public Const MZ_STATUS_CRC_ERROR As Long = 2
Public Const MZ_STATUS_VALUE_OVERFLOW As Long = 3
Public Const MZ_STATUS_WRONG_KEY As Long = 4
Public Const MZ_STATUS_PARITY_ERROR As Long = 5
Public Const MZ_STATUS_CARD_ERROR As Long = 6
Public Const MZ_STATUS_INVALID_SERIAL As Long = 8
Public Const MZ_STATUS_NO_PERMISSION As Long = 16
Public Const MZ_STATUS_BIT_COUNT_ERROR As Long = 17
Public Const MZ_STATUS_BYTE_COUNT_ERROR As Long = 18
Public Const MZ_STATUS_WAITING As Long = 19
Public Const MZ_STATUS_VALUE_STORE_ERROR As Long = 20
Public Const MZ_STATUS_WRITE_ERROR As Long = 21
Public Const MZ_STATUS_INCREMENT_ERROR As Long = 22
Public Const MZ_STATUS_DECREMENT_ERROR As Long = 23
Public Const MZ_STATUS_READ_ERROR As Long = 24
Public Const MZ_STATUS_POLL As Long = 32
Public Const MZ_STATUS_NOT_IMPLEMENTED As Long = 255
Public Const MZ_STATUS_NO_LINK As Long = -1
Public Const MZ_STATUS_EXCHANGE_FAILED As Long = -2

' Key types: the first argument of mif_LoadKey and mif_Authentication.
Public Const MZ_KEY_A As Long = 0
Public Const MZ_KEY_B As Long = 1

' mif_Request modes.
Public Const MZ_REQUEST_IDLE As Long = 0    ' only cards that are not halted
Public Const MZ_REQUEST_ALL As Long = 1     ' every card, halted ones too

' The LED levels zub_LEDx accepts.
Public Const MZ_LED_OFF As Long = 0
Public Const MZ_LED_HALF As Long = 127
Public Const MZ_LED_FULL As Long = 255

' The exports. Arguments as in MifareZUB.h:
'   OpenComm(deviceIndex, param)        the reader at USB index deviceIndex;
'                                       param is ignored
'   mif_Request(mode, tagType)          tagType: the answer to request
'                                       (&H400 for a 1K card)
'   mif_Anticollision(serial)           10 hex digits: the 4 UID bytes and
'                                       their check byte (4-byte UIDs only)
'   mif_Select(serial, size)            size: the select answer (8 for 1K)
'   mif_LoadKey(keyType, keySlot, key)  12 hex digits into slot keySlot of
'                                       key type keyType (MZ_KEY_A, MZ_KEY_B)
'   mif_Authentication(keyType, keySlot, block)
'                                       the sector that holds block
'   mif_Read(block, data), mif_Write(block, data)   32 hex digits
'   mif_Increment, mif_Decrement(block, value); mif_Restore, mif_Transfer(block)
'   zub_beep(1/0), zub_beepms(ms), zub_LED(led, 1/0), zub_LEDx(level)
#If VBA7 Then
    Public Declare PtrSafe Function OpenComm Lib "MifareZUB.dll" (ByVal deviceIndex As Long, ByVal param As Long) As Long
    Public Declare PtrSafe Function CloseComm Lib "MifareZUB.dll" () As Long
    Public Declare PtrSafe Function mif_Request Lib "MifareZUB.dll" (ByVal mode As Long, ByRef tagType As Long) As Long
    Public Declare PtrSafe Function mif_Anticollision Lib "MifareZUB.dll" (ByRef serial As String) As Long
    Public Declare PtrSafe Function mif_Select Lib "MifareZUB.dll" (ByVal serial As String, ByRef size As Long) As Long
    Public Declare PtrSafe Function mif_LoadKey Lib "MifareZUB.dll" (ByVal keyType As Long, ByVal keySlot As Long, ByVal key As String) As Long
    Public Declare PtrSafe Function mif_Authentication Lib "MifareZUB.dll" (ByVal keyType As Long, ByVal keySlot As Long, ByVal block As Long) As Long
    Public Declare PtrSafe Function mif_Read Lib "MifareZUB.dll" (ByVal block As Long, ByRef data As String) As Long
    Public Declare PtrSafe Function mif_Write Lib "MifareZUB.dll" (ByVal block As Long, ByVal data As String) As Long
    Public Declare PtrSafe Function mif_Increment Lib "MifareZUB.dll" (ByVal block As Long, ByVal value As Long) As Long
    Public Declare PtrSafe Function mif_Decrement Lib "MifareZUB.dll" (ByVal block As Long, ByVal value As Long) As Long
    Public Declare PtrSafe Function mif_Restore Lib "MifareZUB.dll" (ByVal block As Long) As Long
    Public Declare PtrSafe Function mif_Transfer Lib "MifareZUB.dll" (ByVal block As Long) As Long
    Public Declare PtrSafe Function mif_Halt Lib "MifareZUB.dll" () As Long
    Public Declare PtrSafe Function zub_beep Lib "MifareZUB.dll" (ByVal onOff As Long) As Long
    Public Declare PtrSafe Function zub_beepms Lib "MifareZUB.dll" (ByVal ms As Long) As Long
    Public Declare PtrSafe Function zub_LED Lib "MifareZUB.dll" (ByVal led As Long, ByVal onOff As Long) As Long
    Public Declare PtrSafe Function zub_LEDx Lib "MifareZUB.dll" (ByVal level As Long) As Long
    Public Declare PtrSafe Function mif_CtrlRelay Lib "MifareZUB.dll" (ByVal relay As Long, ByVal onOff As Long) As Long
    Public Declare PtrSafe Sub ErrMsg Lib "MifareZUB.dll" (ByVal code As Long, ByRef text As String)

    Private Declare PtrSafe Function LoadLibraryExA Lib "kernel32" (ByVal fileName As String, _
        ByVal reserved As LongPtr, ByVal flags As Long) As LongPtr
#Else
    Public Declare Function OpenComm Lib "MifareZUB.dll" (ByVal deviceIndex As Long, ByVal param As Long) As Long
    Public Declare Function CloseComm Lib "MifareZUB.dll" () As Long
    Public Declare Function mif_Request Lib "MifareZUB.dll" (ByVal mode As Long, ByRef tagType As Long) As Long
    Public Declare Function mif_Anticollision Lib "MifareZUB.dll" (ByRef serial As String) As Long
    Public Declare Function mif_Select Lib "MifareZUB.dll" (ByVal serial As String, ByRef size As Long) As Long
    Public Declare Function mif_LoadKey Lib "MifareZUB.dll" (ByVal keyType As Long, ByVal keySlot As Long, ByVal key As String) As Long
    Public Declare Function mif_Authentication Lib "MifareZUB.dll" (ByVal keyType As Long, ByVal keySlot As Long, ByVal block As Long) As Long
    Public Declare Function mif_Read Lib "MifareZUB.dll" (ByVal block As Long, ByRef data As String) As Long
    Public Declare Function mif_Write Lib "MifareZUB.dll" (ByVal block As Long, ByVal data As String) As Long
    Public Declare Function mif_Increment Lib "MifareZUB.dll" (ByVal block As Long, ByVal value As Long) As Long
    Public Declare Function mif_Decrement Lib "MifareZUB.dll" (ByVal block As Long, ByVal value As Long) As Long
    Public Declare Function mif_Restore Lib "MifareZUB.dll" (ByVal block As Long) As Long
    Public Declare Function mif_Transfer Lib "MifareZUB.dll" (ByVal block As Long) As Long
    Public Declare Function mif_Halt Lib "MifareZUB.dll" () As Long
    Public Declare Function zub_beep Lib "MifareZUB.dll" (ByVal onOff As Long) As Long
    Public Declare Function zub_beepms Lib "MifareZUB.dll" (ByVal ms As Long) As Long
    Public Declare Function zub_LED Lib "MifareZUB.dll" (ByVal led As Long, ByVal onOff As Long) As Long
    Public Declare Function zub_LEDx Lib "MifareZUB.dll" (ByVal level As Long) As Long
    Public Declare Function mif_CtrlRelay Lib "MifareZUB.dll" (ByVal relay As Long, ByVal onOff As Long) As Long
    Public Declare Sub ErrMsg Lib "MifareZUB.dll" (ByVal code As Long, ByRef text As String)

    Private Declare Function LoadLibraryExA Lib "kernel32" (ByVal fileName As String, _
        ByVal reserved As Long, ByVal flags As Long) As Long
#End If

' LoadLibraryEx: the folder of the DLL named by its full path is searched for
' the DLLs it imports (the vendor library beside it).
Private Const LOAD_WITH_ALTERED_SEARCH_PATH As Long = &H8

' Loads the MifareZUB.dll of the process's width from folder\x64\ (64-bit
' Office) or folder\x86\ (VB6, 32-bit Office), else from folder itself, so
' that the declarations above bind to it. Call it once before the first call;
' True when the DLL is loaded. The vendor library the DLL imports is taken
' from beside it first.
Public Function MZLoadLibrary(ByVal folder As String) As Boolean
    Dim subfolder As String
#If Win64 Then
    subfolder = "x64"
#Else
    subfolder = "x86"
#End If
    If Len(folder) > 0 And Right$(folder, 1) <> "\" Then folder = folder & "\"
    If LoadLibraryExA(folder & subfolder & "\MifareZUB.dll", 0, LOAD_WITH_ALTERED_SEARCH_PATH) <> 0 Then
        MZLoadLibrary = True
    Else
        MZLoadLibrary = LoadLibraryExA(folder & "MifareZUB.dll", 0, LOAD_WITH_ALTERED_SEARCH_PATH) <> 0
    End If
End Function

' A text output cut at its zero byte.
Public Function MZCut(ByVal s As String) As String
    Dim zero As Long
    zero = InStr(s, vbNullChar)
    If zero > 0 Then MZCut = Left$(s, zero - 1) Else MZCut = s
End Function

' Anticollision: the result code; serial receives the 10 hex digits.
Public Function MZSerial(ByRef serial As String) As Long
    Dim s As String
    s = String$(MZ_SERIAL_BUFFER, vbNullChar)
    MZSerial = mif_Anticollision(s)
    serial = MZCut(s)
End Function

' Reads a block: the result code; data receives the 32 hex digits.
Public Function MZReadBlock(ByVal block As Long, ByRef data As String) As Long
    Dim s As String
    s = String$(MZ_BLOCK_BUFFER, vbNullChar)
    MZReadBlock = mif_Read(block, s)
    data = MZCut(s)
End Function

' The library's message for a result code (ErrMsg).
Public Function MZMessage(ByVal code As Long) As String
    Dim s As String
    s = String$(MZ_MESSAGE_BUFFER, vbNullChar)
    ErrMsg code, s
    MZMessage = MZCut(s)
End Function

' The English description of a result code, as the C header's MZ_STATUS_TABLE
' has it; "unknown result" for a code without a name.
Public Function MZDescription(ByVal code As Long) As String
    Select Case code
    Case MZ_STATUS_OK: MZDescription = "success"
    Case MZ_STATUS_NO_CARD: MZDescription = "no card answers, or the sector is not authenticated"
    Case MZ_STATUS_CRC_ERROR: MZDescription = "CRC error in the exchange with the card"
    Case MZ_STATUS_VALUE_OVERFLOW: MZDescription = "value overflow"
    Case MZ_STATUS_WRONG_KEY: MZDescription = "wrong key"
    Case MZ_STATUS_PARITY_ERROR: MZDescription = "parity error in the exchange with the card"
    Case MZ_STATUS_CARD_ERROR: MZDescription = "the exchange with the card failed"
    Case MZ_STATUS_INVALID_SERIAL: MZDescription = "invalid serial number"
    Case MZ_STATUS_NO_PERMISSION: MZDescription = "the access conditions forbid it"
    Case MZ_STATUS_BIT_COUNT_ERROR: MZDescription = "wrong bit count in the exchange with the card"
    Case MZ_STATUS_BYTE_COUNT_ERROR: MZDescription = "wrong byte count in the exchange with the card"
    Case MZ_STATUS_WAITING: MZDescription = "waiting for DV"
    Case MZ_STATUS_VALUE_STORE_ERROR: MZDescription = "nothing to transfer, or the value was not stored"
    Case MZ_STATUS_WRITE_ERROR: MZDescription = "write failed, or the block is outside the card"
    Case MZ_STATUS_INCREMENT_ERROR: MZDescription = "increment failed: not a value block"
    Case MZ_STATUS_DECREMENT_ERROR: MZDescription = "decrement or restore failed: not a value block"
    Case MZ_STATUS_READ_ERROR: MZDescription = "read failed, or the block is outside the card"
    Case MZ_STATUS_POLL: MZDescription = "poll"
    Case MZ_STATUS_NOT_IMPLEMENTED: MZDescription = "the reader does not know the command"
    Case MZ_STATUS_NO_LINK: MZDescription = "reader not open or not answering"
    Case MZ_STATUS_EXCHANGE_FAILED: MZDescription = "no valid reply from the reader"
    Case Else: MZDescription = "unknown result"
    End Select
End Function
