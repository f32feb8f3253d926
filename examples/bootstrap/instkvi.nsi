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
; The location may be missing after "-f", may hold blanks, may come with two
; blanks before it and with the user's double quotes. The bootstrap installs
; the kit into it (into C:\HalvikTorvanex\Install when there is none), starts
; <location>\Install.exe -register with the forwarded options as they stand,
; by its full path, waits for it, and ends with one of these exit statuses:
;
;   0  the kit is installed and Install.exe -register ended with 0
;   1  the kit could not be installed (the location could not be made or
;      written); nothing was started
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

  ; The forwarded options: behind the last " -a " (setup's options never hold
  ; one; a folder's name in front of them might).
  StrCpy $Forwarded ""
  StrLen $3 $4
  IntOp $1 $3 - 4
  ${DoWhile} $1 >= 0
    StrCpy $0 $4 4 $1
    ${If} $0 == " -a "
      IntOp $2 $1 + 4
      StrCpy $Forwarded $4 "" $2
      StrCpy $4 $4 $1
      ${ExitDo}
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

; Makes the usual location as setup does, with its protected access list
; given to CreateDirectory itself. When the list cannot be built, nothing is
; made (and the installation fails below).
Function MakeUsualLocation
  System::Call 'advapi32::ConvertStringSecurityDescriptorToSecurityDescriptorW(w "${PROTECTED}", i 1, *p .r1, p 0) i .r0'
  ${If} $0 == 0
    Return
  ${EndIf}
  System::Call '*(i ${SECURITY_ATTRIBUTES_SIZE}, p r1, i 0) p .r2'
  System::Call 'kernel32::CreateDirectoryW(w "${USUAL_PARENT}", p r2) i .r0'
  System::Call 'kernel32::CreateDirectoryW(w "${USUAL}", p r2) i .r0'
  System::Free $2
  System::Call 'kernel32::LocalFree(p r1)'
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
  ${If} $INSTDIR == "${USUAL}"
  ${AndIfNot} ${FileExists} "$INSTDIR\*.*"
    Call MakeUsualLocation
    ${IfNot} ${FileExists} "$INSTDIR\*.*"
      DetailPrint "The usual location ${USUAL} could not be made."
      Abort
    ${EndIf}
  ${EndIf}

  ; A folder that is there keeps its access list, and what is written into it
  ; inherits that list: nothing here changes an access list.
  ClearErrors
  SetOverwrite on
  SetOutPath "$INSTDIR"
  ${If} ${Errors}
    Abort
  ${EndIf}
  ; YOUR PRODUCT: the kit's files. As it stands, everything in the folder KIT
  ; (makensis -DKIT=...) with its subfolders: Install.exe, JRE\bin\java.exe and
  ; javaw.exe, java\*.jar and data\ (README, "The installed kit").
  File /r "${KIT}\*"
  ${If} ${Errors}
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
SectionEnd
