Attribute VB_Name = "Sample"
' SPDX-License-Identifier: MIT. Copyright (c) 2026 The MifareZUB authors.
'
' sample: a short card session through the MifareZUB module. Finds the card,
' loads the transport key as key A into slot 0, authenticates sector 1 and
' reads block 4; a failed step is shown with the library's message (ErrMsg)
' and its English description.
'
' VB6: add MifareZUB.bas and this module to a Standard EXE project, set the
' startup object to Sub Main, and put MifareZUB.dll (x86) and the reader's
' CH375DLL.DLL beside the program (or the virtual reader's, to try it without
' a reader). VBA: import both modules, set MZ_FOLDER to the folder of the
' unpacked Windows package, and run Main (F5).

Option Explicit

' Where MZLoadLibrary looks for x86\ and x64\; empty: the search path alone.
Private Const MZ_FOLDER As String = ""

' True when a step gave 0; otherwise shows what failed and why.
Private Function Check(ByVal what As String, ByVal code As Long, ByRef report As String) As Boolean
    If code = MZ_OK Then
        Check = True
    Else
        report = report & what & " failed: " & code & " " & MZMessage(code) & _
            " (" & MZDescription(code) & ")" & vbCrLf
        Check = False
    End If
End Function

Public Sub Main()
    Dim report As String, serial As String, data As String, why As String
    Dim tagType As Long, sak As Long

    If Len(MZ_FOLDER) > 0 Then
        If Not MZLoadLibrary(MZ_FOLDER, why) Then
            MsgBox why, vbCritical
            Exit Sub
        End If
    End If

    If Not Check("OpenComm", OpenComm(0, 0), report) Then     ' the reader at USB index 0
        MsgBox report, vbExclamation, "MifareZUB"
        Exit Sub
    End If
    If Check("mif_Request", mif_Request(MZ_REQUEST_ALL, tagType), report) Then
        If Check("mif_Anticollision", MZSerial(serial), report) Then
            If Check("mif_Select", mif_Select(serial, sak), report) Then
                If Check("mif_LoadKey", mif_LoadKey(MZ_KEY_A, 0, "FFFFFFFFFFFF"), report) Then
                    If Check("mif_Authentication", mif_Authentication(MZ_KEY_A, 0, 4), report) Then
                        If Check("mif_Read", MZReadBlock(4, data), report) Then
                            report = "card " & serial & ", block 4 = " & data
                        End If
                    End If
                End If
            End If
        End If
    End If
    CloseComm
    MsgBox report, vbInformation, "MifareZUB"
End Sub
