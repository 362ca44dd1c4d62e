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
' zero-terminated ANSI copy). What is a pointer-sized number is a LongPtr in
' VBA7 (Long in VB6): the module handle LoadLibraryEx returns, its reserved
' argument, and the buffer addresses MZMessage and MZFromGBK pass. 64-bit VBA
' needs PtrSafe on every Declare (#If VBA7); every Declare names its export
' with Alias, so that the IDE's re-casing of a name elsewhere in the project
' (a host's own Mif_read, say) cannot break the call (run-time error 453).
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
    Public Declare PtrSafe Function OpenComm Lib "MifareZUB.dll" Alias "OpenComm" (ByVal deviceIndex As Long, ByVal param As Long) As Long
    Public Declare PtrSafe Function CloseComm Lib "MifareZUB.dll" Alias "CloseComm" () As Long
    Public Declare PtrSafe Function mif_Request Lib "MifareZUB.dll" Alias "mif_Request" (ByVal mode As Long, ByRef tagType As Long) As Long
    Public Declare PtrSafe Function mif_Anticollision Lib "MifareZUB.dll" Alias "mif_Anticollision" (ByRef serial As String) As Long
    Public Declare PtrSafe Function mif_Select Lib "MifareZUB.dll" Alias "mif_Select" (ByVal serial As String, ByRef size As Long) As Long
    Public Declare PtrSafe Function mif_LoadKey Lib "MifareZUB.dll" Alias "mif_LoadKey" (ByVal keyType As Long, ByVal keySlot As Long, ByVal key As String) As Long
    Public Declare PtrSafe Function mif_Authentication Lib "MifareZUB.dll" Alias "mif_Authentication" (ByVal keyType As Long, ByVal keySlot As Long, ByVal block As Long) As Long
    Public Declare PtrSafe Function mif_Read Lib "MifareZUB.dll" Alias "mif_Read" (ByVal block As Long, ByRef data As String) As Long
    Public Declare PtrSafe Function mif_Write Lib "MifareZUB.dll" Alias "mif_Write" (ByVal block As Long, ByVal data As String) As Long
    Public Declare PtrSafe Function mif_Increment Lib "MifareZUB.dll" Alias "mif_Increment" (ByVal block As Long, ByVal value As Long) As Long
    Public Declare PtrSafe Function mif_Decrement Lib "MifareZUB.dll" Alias "mif_Decrement" (ByVal block As Long, ByVal value As Long) As Long
    Public Declare PtrSafe Function mif_Restore Lib "MifareZUB.dll" Alias "mif_Restore" (ByVal block As Long) As Long
    Public Declare PtrSafe Function mif_Transfer Lib "MifareZUB.dll" Alias "mif_Transfer" (ByVal block As Long) As Long
    Public Declare PtrSafe Function mif_Halt Lib "MifareZUB.dll" Alias "mif_Halt" () As Long
    Public Declare PtrSafe Function zub_beep Lib "MifareZUB.dll" Alias "zub_beep" (ByVal onOff As Long) As Long
    Public Declare PtrSafe Function zub_beepms Lib "MifareZUB.dll" Alias "zub_beepms" (ByVal ms As Long) As Long
    Public Declare PtrSafe Function zub_LED Lib "MifareZUB.dll" Alias "zub_LED" (ByVal led As Long, ByVal onOff As Long) As Long
    Public Declare PtrSafe Function zub_LEDx Lib "MifareZUB.dll" Alias "zub_LEDx" (ByVal level As Long) As Long
    Public Declare PtrSafe Function mif_CtrlRelay Lib "MifareZUB.dll" Alias "mif_CtrlRelay" (ByVal relay As Long, ByVal onOff As Long) As Long
    Public Declare PtrSafe Sub ErrMsg Lib "MifareZUB.dll" Alias "ErrMsg" (ByVal code As Long, ByRef text As String)

    ' ErrMsg into a byte buffer (the GBK bytes as they are): text is the
    ' address of a variable that holds the buffer's address.
    Private Declare PtrSafe Sub ErrMsgBytes Lib "MifareZUB.dll" Alias "ErrMsg" (ByVal code As Long, ByRef text As LongPtr)

    Private Declare PtrSafe Function LoadLibraryExA Lib "kernel32" Alias "LoadLibraryExA" (ByVal fileName As String, _
        ByVal reserved As LongPtr, ByVal flags As Long) As LongPtr
    Private Declare PtrSafe Function MultiByteToWideChar Lib "kernel32" Alias "MultiByteToWideChar" (ByVal codePage As Long, _
        ByVal flags As Long, ByVal source As LongPtr, ByVal sourceBytes As Long, ByVal target As LongPtr, _
        ByVal targetChars As Long) As Long
    Private Declare PtrSafe Sub SetLastError Lib "kernel32" Alias "SetLastError" (ByVal errorCode As Long)
#Else
    Public Declare Function OpenComm Lib "MifareZUB.dll" Alias "OpenComm" (ByVal deviceIndex As Long, ByVal param As Long) As Long
    Public Declare Function CloseComm Lib "MifareZUB.dll" Alias "CloseComm" () As Long
    Public Declare Function mif_Request Lib "MifareZUB.dll" Alias "mif_Request" (ByVal mode As Long, ByRef tagType As Long) As Long
    Public Declare Function mif_Anticollision Lib "MifareZUB.dll" Alias "mif_Anticollision" (ByRef serial As String) As Long
    Public Declare Function mif_Select Lib "MifareZUB.dll" Alias "mif_Select" (ByVal serial As String, ByRef size As Long) As Long
    Public Declare Function mif_LoadKey Lib "MifareZUB.dll" Alias "mif_LoadKey" (ByVal keyType As Long, ByVal keySlot As Long, ByVal key As String) As Long
    Public Declare Function mif_Authentication Lib "MifareZUB.dll" Alias "mif_Authentication" (ByVal keyType As Long, ByVal keySlot As Long, ByVal block As Long) As Long
    Public Declare Function mif_Read Lib "MifareZUB.dll" Alias "mif_Read" (ByVal block As Long, ByRef data As String) As Long
    Public Declare Function mif_Write Lib "MifareZUB.dll" Alias "mif_Write" (ByVal block As Long, ByVal data As String) As Long
    Public Declare Function mif_Increment Lib "MifareZUB.dll" Alias "mif_Increment" (ByVal block As Long, ByVal value As Long) As Long
    Public Declare Function mif_Decrement Lib "MifareZUB.dll" Alias "mif_Decrement" (ByVal block As Long, ByVal value As Long) As Long
    Public Declare Function mif_Restore Lib "MifareZUB.dll" Alias "mif_Restore" (ByVal block As Long) As Long
    Public Declare Function mif_Transfer Lib "MifareZUB.dll" Alias "mif_Transfer" (ByVal block As Long) As Long
    Public Declare Function mif_Halt Lib "MifareZUB.dll" Alias "mif_Halt" () As Long
    Public Declare Function zub_beep Lib "MifareZUB.dll" Alias "zub_beep" (ByVal onOff As Long) As Long
    Public Declare Function zub_beepms Lib "MifareZUB.dll" Alias "zub_beepms" (ByVal ms As Long) As Long
    Public Declare Function zub_LED Lib "MifareZUB.dll" Alias "zub_LED" (ByVal led As Long, ByVal onOff As Long) As Long
    Public Declare Function zub_LEDx Lib "MifareZUB.dll" Alias "zub_LEDx" (ByVal level As Long) As Long
    Public Declare Function mif_CtrlRelay Lib "MifareZUB.dll" Alias "mif_CtrlRelay" (ByVal relay As Long, ByVal onOff As Long) As Long
    Public Declare Sub ErrMsg Lib "MifareZUB.dll" Alias "ErrMsg" (ByVal code As Long, ByRef text As String)

    Private Declare Sub ErrMsgBytes Lib "MifareZUB.dll" Alias "ErrMsg" (ByVal code As Long, ByRef text As Long)

    Private Declare Function LoadLibraryExA Lib "kernel32" Alias "LoadLibraryExA" (ByVal fileName As String, _
        ByVal reserved As Long, ByVal flags As Long) As Long
    Private Declare Function MultiByteToWideChar Lib "kernel32" Alias "MultiByteToWideChar" (ByVal codePage As Long, _
        ByVal flags As Long, ByVal source As Long, ByVal sourceBytes As Long, ByVal target As Long, _
        ByVal targetChars As Long) As Long
    Private Declare Sub SetLastError Lib "kernel32" Alias "SetLastError" (ByVal errorCode As Long)
#End If

' LoadLibraryEx: the folder of the DLL named by its full path is searched for
' the DLLs it imports (the vendor library beside it).
Private Const LOAD_WITH_ALTERED_SEARCH_PATH As Long = &H8

' The code page of the library's messages (GBK, Simplified Chinese).
Private Const MZ_GBK As Long = 936

' Loads the MifareZUB.dll of the process's width from folder\x64\ (64-bit
' Office) or folder\x86\ (VB6, 32-bit Office), else from folder itself, so
' that the declarations above bind to it. Call it once before the first call;
' True when the DLL is loaded. The vendor library the DLL imports is taken
' from beside it first. When it fails, why (if given) says why, naming the
' file that would not load and the Windows error, and Err.LastDllError holds
' that error (126: the DLL or the vendor library it needs is missing; 193: a
' DLL of the other width), not the one of a later attempt.
Public Function MZLoadLibrary(ByVal folder As String, Optional ByRef why As String) As Boolean
    Dim subfolder As String, path As String, tried As String, failed As String
    Dim attempt As Long, lastError As Long
#If Win64 Then
    subfolder = "x64"
#Else
    subfolder = "x86"
#End If
    If Len(folder) > 0 And Right$(folder, 1) <> "\" Then folder = folder & "\"
    why = ""
    For attempt = 1 To 2
        If attempt = 1 Then path = folder & subfolder & "\MifareZUB.dll" Else path = folder & "MifareZUB.dll"
        If Len(tried) > 0 Then tried = tried & " or "
        tried = tried & path
        ' A file that is there and would not load says more than one that
        ' is not there: its error is the one kept.
        If Len(folder) = 0 Or MZFileExists(path) Then
            If LoadLibraryExA(path, 0, LOAD_WITH_ALTERED_SEARCH_PATH) <> 0 Then
                MZLoadLibrary = True
                Exit Function
            End If
            If Len(failed) = 0 Then
                lastError = Err.LastDllError
                failed = path
            End If
        End If
    Next attempt
    If Len(failed) = 0 Then
        why = "MifareZUB.dll not found: looked for " & tried
        lastError = 126
    ElseIf lastError = 193 Then
        why = failed & " is not a DLL for this " & IIf(subfolder = "x64", "64", "32") & "-bit process (Windows error 193)"
    ElseIf lastError = 126 Then
        why = failed & " did not load: a DLL it needs (" & IIf(subfolder = "x64", "CH375DLL64.dll", "CH375DLL.DLL") & _
            ") was not found beside it or on the search path (Windows error 126)"
    Else
        why = failed & " did not load (Windows error " & lastError & ")"
    End If
    SetLastError lastError
End Function

' Whether a file exists (Dir$ leaves Err.LastDllError alone).
Private Function MZFileExists(ByVal path As String) As Boolean
    On Error Resume Next
    MZFileExists = Len(Dir$(path, vbNormal Or vbReadOnly Or vbHidden Or vbSystem)) > 0
    On Error GoTo 0
End Function

' A text output cut at its zero byte.
Public Function MZCut(ByVal s As String) As String
    Dim zero As Long
    zero = InStr(s, vbNullChar)
    If zero > 0 Then MZCut = Left$(s, zero - 1) Else MZCut = s
End Function

' Whether s is exactly digits hexadecimal digits.
Private Function MZIsHex(ByVal s As String, ByVal digits As Long) As Boolean
    Dim i As Long
    If Len(s) <> digits Then Exit Function
    For i = 1 To digits
        If InStr("0123456789ABCDEFabcdef", Mid$(s, i, 1)) = 0 Then Exit Function
    Next i
    MZIsHex = True
End Function

' Anticollision: the result code; serial receives the 10 hex digits. A
' serial that is not 10 hex digits is not trusted: MZ_EXCHANGE_FAILED, and
' serial is empty.
Public Function MZSerial(ByRef serial As String) As Long
    Dim s As String
    s = String$(MZ_SERIAL_BUFFER, vbNullChar)
    MZSerial = mif_Anticollision(s)
    serial = MZCut(s)
    If MZSerial = MZ_OK And Not MZIsHex(serial, MZ_SERIAL_BUFFER - 1) Then
        MZSerial = MZ_EXCHANGE_FAILED
        serial = ""
    End If
End Function

' Reads a block: the result code; data receives the 32 hex digits. A block
' that is not 32 hex digits is not trusted: MZ_EXCHANGE_FAILED, and data is
' empty.
Public Function MZReadBlock(ByVal block As Long, ByRef data As String) As Long
    Dim s As String
    s = String$(MZ_BLOCK_BUFFER, vbNullChar)
    MZReadBlock = mif_Read(block, s)
    data = MZCut(s)
    If MZReadBlock = MZ_OK And Not MZIsHex(data, MZ_BLOCK_DIGITS) Then
        MZReadBlock = MZ_EXCHANGE_FAILED
        data = ""
    End If
End Function

' Text in code page 936 (GBK) as a String: the first count bytes of bytes
' (to the first zero byte, if sooner), whatever the system's code page.
Public Function MZFromGBK(ByRef bytes() As Byte, ByVal count As Long) As String
    Dim length As Long, chars As Long, s As String
    Do While length < count
        If bytes(LBound(bytes) + length) = 0 Then Exit Do
        length = length + 1
    Loop
    If length = 0 Then Exit Function
    chars = MultiByteToWideChar(MZ_GBK, 0, VarPtr(bytes(LBound(bytes))), length, 0, 0)
    If chars <= 0 Then Exit Function
    s = String$(chars, vbNullChar)
    MultiByteToWideChar MZ_GBK, 0, VarPtr(bytes(LBound(bytes))), length, StrPtr(s), chars
    MZFromGBK = s
End Function

' The library's message for a result code (ErrMsg), decoded from GBK: right
' whatever the system's code page for non-Unicode programs.
Public Function MZMessage(ByVal code As Long) As String
    Dim buffer(0 To MZ_MESSAGE_BUFFER - 1) As Byte
#If VBA7 Then
    Dim p As LongPtr
#Else
    Dim p As Long
#End If
    p = VarPtr(buffer(0))
    ErrMsgBytes code, p
    MZMessage = MZFromGBK(buffer, MZ_MESSAGE_BUFFER)
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
