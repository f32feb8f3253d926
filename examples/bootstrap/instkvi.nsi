; _instkvi.com: an example bootstrap installer for setup.exe, made with NSIS
; (Debian's package nsis, 3.08). Build it with your kit:
;
;   makensis -DKIT=/path/to/kit -DOUT=/path/to/medium/_instkvi.com instkvi.nsi
;
; (full paths: makensis works in this file's folder), and -DTARGET=amd64-unicode
; for a 64-bit installer (the default is the x86 one, which runs on every
; Windows). The CMake hook beside this file builds it into each build folder
; with the kit of the demonstration and the tests.
;
; setup.exe starts it from its own folder with one of these command lines
; (README, "Putting the programs on a product's medium"):
;
;   _instkvi.com -s
;   _instkvi.com -s -f <location>
;   either of them, then " -a " and setup's forwarded options, as in
;   _instkvi.com -s -f  c:\my kit  -a  -batch  c:\answers.txt  -force
;
; The location may be missing after "-f", may hold blanks (also " -a ", which
; separates the options only where " -" or nothing follows it), may come with
; two blanks before it and with the user's double quotes. The bootstrap installs
; the kit into it (into C:\HalvikTorvanex\Install when there is none), starts
; <location>\Install.exe -register with the forwarded options as they stand,
; by its full path, waits for it, and ends with one of these exit statuses:
;
;   0  the kit is installed and Install.exe -register ended with 0
;   1  the kit could not be installed (the location could not be made or
;      written, or is not on a local fixed drive, or a folder on its way could
;      be changed by someone other than administrators: then nothing was
;      copied), or what it holds could (a file or folder of an earlier copy
;      with an access list of its own); nothing was started
;   2  Install.exe could not be started
;   3  Install.exe ended with another status (-1: it could not start the
;      Java application)
;
; With -s it shows nothing; without it, NSIS's own progress window.
;
; For your product, change the two places marked YOUR PRODUCT (the product
; name, the kit's files) and nothing else: the rest is setup's contract.

Unicode true
!ifndef TARGET
  !define TARGET x86-unicode
!endif
Target ${TARGET}
!ifndef KIT
  !define KIT kit
!endif
!ifndef OUT
  !define OUT _instkvi.com
!endif

!include LogicLib.nsh

; YOUR PRODUCT: its name, shown in the window without -s.
!define PRODUCT "Halvik Torvanex Products"

; Where setup's usual location lies, and the access list setup gives its two
; folders (docs/security.md). The bootstrap makes them the same way when setup
; could not: never with an open access list.
!define USUAL_PARENT "C:\HalvikTorvanex"
!define USUAL "C:\HalvikTorvanex\Install"
!define PROTECTED "O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)"
!if "${TARGET}" == "amd64-unicode"
  !define SECURITY_ATTRIBUTES_SIZE 24
!else
  !define SECURITY_ATTRIBUTES_SIZE 12
!endif

Name "${PRODUCT}"
OutFile "${OUT}"
; setup asks for the highest rights the user has (highestAvailable) and starts
; this program without elevating it: "highest" never needs an elevation that
; setup's CreateProcess could not give (which "admin" would ask of a standard
; user), and an administrator's setup already runs elevated.
RequestExecutionLevel highest
ManifestSupportedOS all
AllowRootDirInstall true
ShowInstDetails show
Page instfiles

; The kit must hold at least what Install needs to start the application.
!if ! /FileExists "${KIT}\Install.exe"
  !error "the kit ${KIT} holds no Install.exe"
!endif
!if ! /FileExists "${KIT}\JRE\bin\javaw.exe"
  !error "the kit ${KIT} holds no JRE\bin\javaw.exe"
!endif

Var Forwarded   ; setup's options after " -a ", as they stand, or nothing
Var Unprepared  ; 1: -f named no location, so setup did not accept the usual one

; Reads setup's command line. NSIS reads /S, /NCRC and /D= itself; setup never
; writes them (its options are lower case), so they are not looked at here.
Function .onInit
  SetErrorLevel 1
  ; NSIS's texts hold NSIS_MAX_STRLEN characters (1024) with their end: a
  ; longer command line would arrive cut, so it is refused rather than read.
  StrLen $0 $CMDLINE
  IntOp $1 ${NSIS_MAX_STRLEN} - 1
  ${If} $0 >= $1
    Abort
  ${EndIf}
  ; The tail: the command line behind the program's name, its first blank
  ; included, nothing trimmed.
  StrCpy $0 $CMDLINE 1
  StrCpy $1 1
  ${If} $0 == '"'
    StrCpy $2 '"'
  ${Else}
    StrCpy $2 " "
    StrCpy $1 0
  ${EndIf}
  StrLen $3 $CMDLINE
  ${Do}
    ${IfThen} $1 >= $3 ${|} ${ExitDo} ${|}
    StrCpy $0 $CMDLINE 1 $1
    ${IfThen} $0 == $2 ${|} ${ExitDo} ${|}
    IntOp $1 $1 + 1
  ${Loop}
  ${If} $2 == '"'
    IntOp $1 $1 + 1
  ${EndIf}
  StrCpy $4 $CMDLINE "" $1

  ; The forwarded options: behind setup's separator " -a ", which is followed
  ; by nothing or by " -" (each of setup's options is a blank, a dash and a
  ; word). A " -a " with anything else behind it is part of a folder's name
  ; (C:\Kit\My -a Kit). Setup cuts its options at every dash, so no " -a " in
  ; them ends them or has " -" behind it: the last separator is the one setup
  ; wrote, also when the folder's name holds another.
  StrCpy $Forwarded ""
  StrLen $3 $4
  IntOp $1 $3 - 4
  ${DoWhile} $1 >= 0
    StrCpy $0 $4 4 $1
    ${If} $0 == " -a "
      IntOp $2 $1 + 4
      StrCpy $5 $4 2 $2
      ${If} $5 == ""
      ${OrIf} $5 == " -"
        StrCpy $Forwarded $4 "" $2
        StrCpy $4 $4 $1
        ${ExitDo}
      ${EndIf}
    ${EndIf}
    IntOp $1 $1 - 1
  ${Loop}

  ; The location: behind the first " -f" that ends a word. In front of it,
  ; the word -s asks for silence.
  StrCpy $5 ""
  StrCpy $Unprepared 0
  StrCpy $6 "$4 "
  StrLen $3 $4
  StrCpy $1 0
  ${DoWhile} $1 < $3
    StrCpy $0 $4 4 $1
    ${If} $0 == " -f "
    ${OrIf} $0 == " -f"
      StrCpy $Unprepared 1
      StrCpy $6 $4 $1
      StrCpy $6 "$6 "
      IntOp $2 $1 + 3
      StrCpy $5 $4 "" $2
      ${ExitDo}
    ${EndIf}
    IntOp $1 $1 + 1
  ${Loop}
  StrLen $3 $6
  IntOp $3 $3 - 3
  ${For} $1 0 $3
    StrCpy $0 $6 4 $1
    ${If} $0 == " -s "
      SetSilent silent
    ${EndIf}
  ${Next}

  ; No file name holds a double quote: drop the user's quotes, then the
  ; blanks at both ends, and a closing backslash.
  StrCpy $6 ""
  StrLen $3 $5
  ${For} $1 0 $3
    StrCpy $0 $5 1 $1
    ${IfThen} $0 != '"' ${|} StrCpy $6 "$6$0" ${|}
  ${Next}
  ${DoWhile} $6 != ""
    StrCpy $0 $6 1
    ${IfThen} $0 != " " ${|} ${ExitDo} ${|}
    StrCpy $6 $6 "" 1
  ${Loop}
  ${DoWhile} $6 != ""
    StrCpy $0 $6 1 -1
    ${IfThen} $0 != " " ${|} ${ExitDo} ${|}
    StrCpy $6 $6 -1
  ${Loop}
  StrLen $3 $6
  StrCpy $0 $6 1 -1
  ${If} $0 == "\"
  ${AndIf} $3 > 3
    StrCpy $6 $6 -1
  ${EndIf}
  ${If} $6 == ""
    StrCpy $6 "${USUAL}"
  ${Else}
    StrCpy $Unprepared 0
  ${EndIf}
  ; A relative location is taken from the current directory, as Windows would.
  System::Call 'kernel32::GetFullPathNameW(w r6, i ${NSIS_MAX_STRLEN}, w .r7, p 0) i .r0'
  ${If} $0 == 0
  ${OrIf} $0 >= ${NSIS_MAX_STRLEN}
    Abort
  ${EndIf}
  StrCpy $INSTDIR $7
FunctionEnd

; What may run elevated must come from a folder that only administrators can
; change, and so must every folder above it: whoever can rename a folder on the
; way can put another tree in its place (docs/security.md). Each folder from the
; drive's root down is judged: a folder and no junction or link, its owner is
; SYSTEM, Administrators or TrustedInstaller (or this installer's own user,
; when it runs elevated: an administrator's), and no allow entry for anyone
; else lets its holder rename, delete, re-own or re-list it. The last folder,
; and a file, must moreover let nobody else add or write.
!define TRUSTED_INSTALLER "S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"
; Delete, delete child (of the folder below), change the list, take
; ownership, write attributes (enough to make an empty folder a junction), and
; the generic rights that hold them (GENERIC_ALL, GENERIC_WRITE).
!define PATH_RIGHTS 0x500D0140
; Those, and write and append (add a file, add a folder).
!define LAST_RIGHTS 0x500D0146
!if "${TARGET}" == "amd64-unicode"
  !define POINTER_SIZE 8
!else
  !define POINTER_SIZE 4
!endif
; Room for a handle to every folder of a location (its text holds fewer than
; NSIS_MAX_STRLEN characters, so fewer than half as many folders), the kit's
; folders and Install.exe.
!define HELD_MAX ${NSIS_MAX_STRLEN}
!define /math HELD_BYTES ${HELD_MAX} * ${POINTER_SIZE}

Var SelfSid   ; the text of the SID of the user this installer runs as, or nothing
Var Elevated  ; 1: it runs with an administrator's full rights
Var Kind      ; what Judge is given: "path" (a folder on the way), "last" or "file"
Var Held      ; HELD_MAX handles, each judged and held until Install.exe has ended
Var HeldCount

; $R5: the address of a SID. Afterwards $R6 holds its text ("S-1-5-18"), or
; nothing when it cannot be converted. Uses $R1 and $R7.
Function SidText
  StrCpy $R6 ""
  System::Call 'advapi32::ConvertSidToStringSidW(p R5, *p .R7) i .R1'
  ${If} $R1 <> 0
    System::Call '*$R7(&w${NSIS_MAX_STRLEN} .R6)'
    System::Call 'kernel32::LocalFree(p R7)'
  ${EndIf}
FunctionEnd

; Reads this installer's user and whether it runs elevated.
Function ReadToken
  StrCpy $SelfSid ""
  StrCpy $Elevated 0
  System::Call 'advapi32::OpenProcessToken(p -1, i 8, *p .R0) i .R1'
  ${If} $R1 == 0
    Return
  ${EndIf}
  ; TokenElevation (20): one 32-bit flag.
  System::Call 'advapi32::GetTokenInformation(p R0, i 20, *i .R2, i 4, *i .R3) i .R1'
  ${If} $R1 <> 0
  ${AndIf} $R2 <> 0
    StrCpy $Elevated 1
  ${EndIf}
  ; TokenUser (1): the address of the SID first, the SID behind it.
  System::Alloc 256
  Pop $R4
  System::Call 'advapi32::GetTokenInformation(p R0, i 1, p R4, i 256, *i .R3) i .R1'
  ${If} $R1 <> 0
    System::Call '*$R4(p .R5)'
    Call SidText
    StrCpy $SelfSid $R6
  ${EndIf}
  System::Free $R4
  System::Call 'kernel32::CloseHandle(p R0)'
FunctionEnd

; $R9: a folder (or, with Kind "file", a file). It is opened first and judged
; through that handle, which is then held: a folder without delete sharing, a
; file without write or delete sharing, so that nothing can rename, delete or
; replace it until Install.exe has ended (CloseHeld). Afterwards $R8 is empty,
; else it says what is wrong. Uses $1 to $7 and $R0 to $R7.
Function Judge
  StrCpy $R8 ""
  ${If} $HeldCount >= ${HELD_MAX}
    StrCpy $R8 "too deep"
    Return
  ${EndIf}
  ; By its name too: Wine opens what a link points to even when asked not to.
  System::Call 'kernel32::GetFileAttributesW(w R9) i .R0'
  IntOp $R1 $R0 & 0x400
  ${If} $R0 == -1
    StrCpy $R8 "unreadable"
    Return
  ${ElseIf} $R1 <> 0
    StrCpy $R8 "a reparse point"
    Return
  ${EndIf}
  ; Read data (a handle without it takes no part in sharing), read attributes
  ; and the security descriptor (0x20081); never through a reparse point
  ; (FILE_FLAG_OPEN_REPARSE_POINT, and FILE_FLAG_BACKUP_SEMANTICS for a
  ; folder); others may read, and add to a folder, nothing else.
  ${If} $Kind == "file"
    System::Call 'kernel32::CreateFileW(w R9, i 0x20081, i 1, p 0, i 3, i 0x00200000, p 0) p .R0'
  ${Else}
    System::Call 'kernel32::CreateFileW(w R9, i 0x20081, i 3, p 0, i 3, i 0x02200000, p 0) p .R0'
  ${EndIf}
  ${If} $R0 P= -1
    StrCpy $R8 "unreadable"
    Return
  ${EndIf}
  IntOp $R1 $HeldCount * ${POINTER_SIZE}
  IntPtrOp $R1 $Held + $R1
  System::Call '*$R1(p R0)'
  IntOp $HeldCount $HeldCount + 1
  ; What the handle reached: a folder, or a file, and no reparse point.
  System::Alloc 52
  Pop $R2
  System::Call 'kernel32::GetFileInformationByHandle(p R0, p R2) i .R1'
  System::Call '*$R2(i .R3)'
  System::Free $R2
  IntOp $R2 $R3 & 0x10
  IntOp $R3 $R3 & 0x400
  ${If} $R1 == 0
    StrCpy $R8 "unreadable"
    Return
  ${ElseIf} $R3 <> 0
    StrCpy $R8 "a reparse point"
    Return
  ${ElseIf} $Kind == "file"
    ${If} $R2 <> 0
      StrCpy $R8 "a folder"
      Return
    ${EndIf}
  ${ElseIf} $R2 == 0
    StrCpy $R8 "not a folder"
    Return
  ${EndIf}
  StrCpy $R1 ${LAST_RIGHTS}
  ${IfThen} $Kind == "path" ${|} StrCpy $R1 ${PATH_RIGHTS} ${|}
  ; SE_FILE_OBJECT (1); the owner and the list (OWNER 1 | DACL 4).
  System::Call 'advapi32::GetSecurityInfo(p R0, i 1, i 5, *p .R2, p 0, *p .R3, p 0, *p .R4) i .R0'
  ${If} $R0 <> 0
    StrCpy $R8 "unreadable"
    Return
  ${EndIf}
  StrCpy $R5 $R2
  Push $R1
  Call SidText
  Pop $R1
  StrCpy $R2 $R6
  StrCpy $7 0
  ${If} $R2 == "S-1-5-18"
  ${OrIf} $R2 == "S-1-5-32-544"
  ${OrIf} $R2 == "${TRUSTED_INSTALLER}"
    StrCpy $7 1
  ${EndIf}
  ${If} $Elevated == 1
  ${AndIf} $SelfSid != ""
  ${AndIf} $R2 == $SelfSid
    StrCpy $7 1
  ${EndIf}
  ${If} $7 == 0
    StrCpy $R8 "foreign owner"
  ${ElseIf} $R3 == 0
    StrCpy $R8 "no access list"
  ${Else}
    ; The list's header: revision, padding, size, entry count, padding.
    System::Call '*$R3(&i1 .r1, &i1 .r1, &i2 .r1, &i2 .R0)'
    IntPtrOp $1 $R3 + 8
    StrCpy $2 0
    ${DoWhile} $2 < $R0
      ; Each entry: type, flags, size, access mask, then (plain and callback
      ; kinds) the SID. Deny entries only take rights away; an inherit-only
      ; one (flag 0x08) is for what is made inside, not for this folder.
      System::Call '*$1(&i1 .r3, &i1 .r6, &i2 .r4, i .r5)'
      IntOp $6 $6 & 0x08
      IntOp $5 $5 & $R1
      ${If} $5 <> 0
      ${AndIf} $6 == 0
      ${AndIf} $3 != 1
      ${AndIf} $3 != 6
      ${AndIf} $3 != 10
      ${AndIf} $3 != 12
        ; An allow entry of an object kind names nobody known here: a stranger.
        StrCpy $R6 ""
        ${If} $3 == 0
        ${OrIf} $3 == 9
          IntPtrOp $R5 $1 + 8
          Push $R1
          Call SidText
          Pop $R1
        ${EndIf}
        StrCpy $7 0
        ${If} $R6 == "S-1-5-18"
        ${OrIf} $R6 == "S-1-5-32-544"
        ${OrIf} $R6 == "${TRUSTED_INSTALLER}"
        ${OrIf} $R6 == "S-1-3-0"
        ${OrIf} $R6 == "S-1-3-4"
        ${OrIf} $R6 == $R2
          StrCpy $7 1
        ${EndIf}
        ${If} $7 == 0
        ${OrIf} $R6 == ""
          StrCpy $R8 "open to others"
          ${ExitDo}
        ${EndIf}
      ${EndIf}
      IntPtrOp $1 $1 + $4
      IntOp $2 $2 + 1
    ${Loop}
  ${EndIf}
  System::Call 'kernel32::LocalFree(p R4)'
FunctionEnd

; Closes what Judge holds.
Function CloseHeld
  ${DoWhile} $HeldCount > 0
    IntOp $HeldCount $HeldCount - 1
    IntOp $1 $HeldCount * ${POINTER_SIZE}
    IntPtrOp $1 $Held + $1
    System::Call '*$1(p .r2)'
    System::Call 'kernel32::CloseHandle(p r2)'
  ${Loop}
FunctionEnd

; Judges the drive's root, then makes each missing folder of the location
; with the protected access list given to CreateDirectory itself (so none is
; ever open, not even for a moment) and judges every folder on the way, made
; now or found. Only a local fixed drive can pass: a network share reports
; whatever list its server likes, and its "Administrators" are the server's.
; Afterwards $R8 is empty, or names the folder refused and why.
Function PrepareLocation
  StrCpy $R8 ""
  ; A drive's root is no folder of our own: every user may add to it.
  StrCpy $0 $INSTDIR 2 1
  StrLen $1 $INSTDIR
  ${If} $0 != ":\"
  ${OrIf} $1 <= 3
    StrCpy $R8 "$INSTDIR: not a folder on a local drive"
    Return
  ${EndIf}
  StrCpy $R9 $INSTDIR 3
  System::Call 'kernel32::GetDriveTypeW(w R9) i .r0'
  ${If} $0 <> 3
    StrCpy $R8 "$R9: not a local fixed drive"
    Return
  ${EndIf}
  StrCpy $Kind "path"
  Call Judge
  ${If} $R8 != ""
    StrCpy $R8 "$R9: $R8"
    Return
  ${EndIf}
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${PROTECTED}", i 1, *p .r8, p 0) i .r0'
  ${If} $0 == 0
    StrCpy $R8 "the protected access list cannot be built"
    Return
  ${EndIf}
  System::Call '*(i ${SECURITY_ATTRIBUTES_SIZE}, p r8, i 0) p .r9'
  StrLen $0 $INSTDIR
  StrCpy $1 3
  ${DoWhile} $1 < $0
    IntOp $1 $1 + 1
    StrCpy $2 $INSTDIR 1 $1
    ${If} $2 == "\"
    ${OrIf} $1 >= $0
      StrCpy $R9 $INSTDIR $1
      ${IfNot} ${FileExists} "$R9\*.*"
        System::Call 'kernel32::CreateDirectoryW(w R9, p r9) i .r2'
      ${EndIf}
      StrCpy $Kind "path"
      ${IfThen} $1 >= $0 ${|} StrCpy $Kind "last" ${|}
      Push $0
      Push $1
      Call Judge
      Pop $1
      Pop $0
      ${If} $R8 != ""
        StrCpy $R8 "$R9: $R8"
        ${ExitDo}
      ${EndIf}
    ${EndIf}
  ${Loop}
  System::Free $9
  System::Call 'kernel32::LocalFree(p r8)'
FunctionEnd

; Judges what was copied into the location and will run: Install.exe, and
; the folders of the runtime and of the class path (one that is not there
; passes), each as a last folder. A file or folder that was there before
; keeps its own access list when it is written over. Afterwards $R8 as above.
Function JudgeKit
  StrCpy $R8 ""
  StrCpy $Kind "last"
  ${For} $0 1 4
    ${Select} $0
      ${Case} 1
        StrCpy $R9 "$INSTDIR\JRE"
      ${Case} 2
        StrCpy $R9 "$INSTDIR\JRE\bin"
      ${Case} 3
        StrCpy $R9 "$INSTDIR\java"
      ${Case} 4
        StrCpy $R9 "$INSTDIR\data"
    ${EndSelect}
    ${If} ${FileExists} "$R9"
      Call Judge
      ${IfThen} $R8 != "" ${|} ${ExitFor} ${|}
    ${EndIf}
  ${Next}
  ${If} $R8 == ""
    StrCpy $R9 "$INSTDIR\Install.exe"
    StrCpy $Kind "file"
    Call Judge
  ${EndIf}
  ${IfThen} $R8 != "" ${|} StrCpy $R8 "$R9: $R8" ${|}
FunctionEnd

Section
  ; "-f" with no location: setup found the usual location unusable (made by
  ; someone else, or open to other users) or could not make it. Only a
  ; location that is not there at all is made here; one that is, is refused.
  ${If} $Unprepared == 1
  ${AndIf} ${FileExists} "${USUAL_PARENT}\*.*"
    DetailPrint "${USUAL} was not made by setup: install with setup's -target."
    Abort
  ${EndIf}
  ; Every folder of the location, made now or found, and every folder above
  ; it must be one that only administrators can change: what lies there runs
  ; elevated. What is judged stays held until Install.exe has ended.
  Call ReadToken
  System::Alloc ${HELD_BYTES}
  Pop $Held
  StrCpy $HeldCount 0
  Call PrepareLocation
  ${If} $R8 != ""
    DetailPrint "$R8: refused, nothing is installed."
    Call CloseHeld
    Abort
  ${EndIf}

  ; A folder that is there keeps its access list, and what is written into it
  ; inherits that list: nothing here changes an access list, and a folder
  ; that fails the rule above is refused, never repaired.
  ClearErrors
  SetOverwrite on
  SetOutPath "$INSTDIR"
  ${If} ${Errors}
    Call CloseHeld
    Abort
  ${EndIf}
  ; YOUR PRODUCT: the kit's files. As it stands, everything in the folder KIT
  ; (makensis -DKIT=...) with its subfolders: Install.exe, JRE\bin\java.exe and
  ; javaw.exe, java\*.jar and data\ (README, "The installed kit").
  File /r "${KIT}\*"
  ${If} ${Errors}
    Call CloseHeld
    Abort
  ${EndIf}
  Call JudgeKit
  ${If} $R8 != ""
    DetailPrint "$R8: refused, nothing is started."
    Call CloseHeld
    Abort
  ${EndIf}

  ; Install.exe by its full path, quoted (the location may hold blanks).
  ClearErrors
  ExecWait '"$INSTDIR\Install.exe" -register$Forwarded' $0
  ${If} ${Errors}
    DetailPrint "$INSTDIR\Install.exe could not be started."
    SetErrorLevel 2
  ${ElseIf} $0 <> 0
    DetailPrint "$INSTDIR\Install.exe -register ended with $0."
    SetErrorLevel 3
  ${Else}
    SetErrorLevel 0
  ${EndIf}
  Call CloseHeld
SectionEnd
