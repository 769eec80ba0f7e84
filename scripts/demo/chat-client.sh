# Sourced by the demo and the installer's tests: a simulated QQ2010 installation in the
# current Wine prefix (WINEPREFIX and WINE64 from scripts/wine-env.sh).
#
#   chat_client_install STAND_IN DATA_WIN
#     copies the QQ stand-in STAND_IN to where the client's own installer puts QQ.exe,
#     writes the client's platform entries in the 32-bit registry view (as its 32-bit
#     installer does) and UserDataInfo.ini (in GBK) in the common documents folder, naming the
#     Windows folder DATA_WIN as the user-data folder. Sets CHAT_CLIENT_EXE (the stand-in's
#     Windows path) and CHAT_CLIENT_INI (the Windows path of UserDataInfo.ini).
#     Returns non-zero when a registry entry cannot be written.

_chat_client_reg32() { "$WINE64" reg add "$@" /f /reg:32 </dev/null >/dev/null 2>&1; }

chat_client_install() {
  local stand_in=$1 data_win=$2 drive=$WINEPREFIX/drive_c
  local list='HKLM\SOFTWARE\Tencent\PlatForm_Type_List' docs='C:\users\Public\Documents'
  CHAT_CLIENT_EXE='C:\Program Files (x86)\Tencent\QQ\Bin\QQ.exe'
  CHAT_CLIENT_INI="$docs\\Tencent\\QQ\\UserDataInfo.ini"
  mkdir -p "$drive/Program Files (x86)/Tencent/QQ/Bin"
  cp "$stand_in" "$drive/Program Files (x86)/Tencent/QQ/Bin/QQ.exe"
  # Another platform type first: the client is found by its type name, not its number.
  _chat_client_reg32 "$list\\1" /v TypeName /t REG_SZ /d QQGame &&
    _chat_client_reg32 "$list\\1" /v TypePath /t REG_SZ /d 'C:\Program Files (x86)\Tencent\QQGame\QQGame.exe' &&
    _chat_client_reg32 "$list\\3" /v TypeName /t REG_SZ /d QQ2010 &&
    _chat_client_reg32 "$list\\3" /v TypePath /t REG_SZ /d "$CHAT_CLIENT_EXE" &&
    _chat_client_reg32 'HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Explorer\Shell Folders' \
      /v 'Common Documents' /t REG_SZ /d "$docs" || return 1
  mkdir -p "$drive/users/Public/Documents/Tencent/QQ"
  # The client writes it in the ANSI code page: GBK on a Chinese system.
  printf '[UserDataSet]\r\nUserDataSavePath=%s\r\n' "$data_win" | iconv -f UTF-8 -t GBK \
    >"$drive/users/Public/Documents/Tencent/QQ/UserDataInfo.ini"
}
