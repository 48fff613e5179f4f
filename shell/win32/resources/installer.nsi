; The Windows installer: Quillmark.exe, quillmark-cycle.exe and quillmark-sandbox.exe for
; the current user (no administrator rights needed), Start-menu entries and an uninstaller.
; Built by the `installer` target of a Windows build (shell/win32/CMakeLists.txt), which
; defines VERSION (the project's, as in quillmark.rc), OUTFILE, QUILLMARK_EXE, CYCLE_EXE,
; SANDBOX_EXE and TARGET: x86-unicode for the 32-bit programs, amd64-unicode for the 64-bit
; ones, whose installer is a 64-bit program too. Both install for the current user into the
; same folder, with the same entries.
Target ${TARGET}
SetCompressor /SOLID lzma

Name "Quillmark ${VERSION}"
OutFile "${OUTFILE}"
RequestExecutionLevel user
InstallDir "$LOCALAPPDATA\Programs\Quillmark"
InstallDirRegKey HKCU "Software\Quillmark" "InstallDir"

VIProductVersion "${VERSION}"
VIAddVersionKey "ProductName" "Quillmark"
VIAddVersionKey "FileDescription" "Quillmark ${VERSION} Setup"
VIAddVersionKey "FileVersion" "${VERSION}"
VIAddVersionKey "ProductVersion" "${VERSION}"
VIAddVersionKey "LegalCopyright" "(C) 2026 Quillmark"

!define UNINSTALL_KEY "Software\Microsoft\Windows\CurrentVersion\Uninstall\Quillmark"

Page directory
Page instfiles
UninstPage uninstConfirm
UninstPage instfiles

Section "Quillmark"
  SetOutPath "$INSTDIR"
  File "${QUILLMARK_EXE}"
  File "${CYCLE_EXE}"
  File "${SANDBOX_EXE}"
  WriteUninstaller "$INSTDIR\Uninstall.exe"

  ; The Start-menu entry starts the program in the user's documents, where it writes its
  ; bitmap (1.BMP, relative to the working folder) and where the user can find it.
  SetOutPath "$DOCUMENTS"
  CreateDirectory "$SMPROGRAMS\Quillmark"
  CreateShortCut "$SMPROGRAMS\Quillmark\Quillmark.lnk" "$INSTDIR\Quillmark.exe"
  ; The stand-in platform in a console window of its own, on the address Quillmark reaches
  ; by default; closing the window stops it. Its CA, made on its first start, is what the
  ; installed programs trust by default.
  CreateShortCut "$SMPROGRAMS\Quillmark\Quillmark Sandbox.lnk" "$INSTDIR\quillmark-sandbox.exe"
  CreateShortCut "$SMPROGRAMS\Quillmark\Uninstall Quillmark.lnk" "$INSTDIR\Uninstall.exe"

  WriteRegStr HKCU "Software\Quillmark" "InstallDir" "$INSTDIR"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayName" "Quillmark"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayVersion" "${VERSION}"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "Publisher" "Quillmark"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "DisplayIcon" "$INSTDIR\Quillmark.exe"
  WriteRegStr HKCU "${UNINSTALL_KEY}" "UninstallString" '"$INSTDIR\Uninstall.exe"'
  WriteRegStr HKCU "${UNINSTALL_KEY}" "QuietUninstallString" '"$INSTDIR\Uninstall.exe" /S'
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoModify" 1
  WriteRegDWORD HKCU "${UNINSTALL_KEY}" "NoRepair" 1
SectionEnd

Section "Uninstall"
  Delete "$INSTDIR\Quillmark.exe"
  Delete "$INSTDIR\quillmark-cycle.exe"
  Delete "$INSTDIR\quillmark-sandbox.exe"
  Delete "$INSTDIR\Uninstall.exe"
  RMDir "$INSTDIR"
  Delete "$SMPROGRAMS\Quillmark\Quillmark.lnk"
  Delete "$SMPROGRAMS\Quillmark\Quillmark Sandbox.lnk"
  Delete "$SMPROGRAMS\Quillmark\Uninstall Quillmark.lnk"
  RMDir "$SMPROGRAMS\Quillmark"
  DeleteRegKey HKCU "${UNINSTALL_KEY}"
  DeleteRegKey HKCU "Software\Quillmark"
SectionEnd
