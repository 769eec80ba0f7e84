// Every text the runner shows: balloon titles and texts, the icon's tooltips, and the boxes
// of start-up. The tests keep their own copies on purpose, as the independent check.
#pragma once

// Balloon titles.
constexpr const wchar_t TITLE_NOTE[] = L"提示";
constexpr const wchar_t TITLE_ATTENTION[] = L"注意";

// The icon's tooltip while idle (also its first one) and during a backup.
constexpr const wchar_t TIP_IDLE[] = L"Kestova";
constexpr const wchar_t TIP_BUSY[] = L"正在备份...";
// The tooltip that stays after a failed backup until one succeeds, beside the failure icon.
constexpr const wchar_t TIP_LAST_RUN_FAILED[] = L"上次备份失败，请打开 Kestova 查看";

// The tray menu's first item while the icon shows a failure: it opens the companion's
// settings, which give the last run's outcome.
constexpr const wchar_t MENU_STATUS[] = L"查看备份状态(&S)";

// Balloons of the main loop.
constexpr const wchar_t TEXT_CLIENT_EXITED[] = L"QQ退出了，正在备份...\r\n请稍等";
constexpr const wchar_t TEXT_TOO_OFTEN[] = L"正在备份，不要太频繁！";
constexpr const wchar_t TEXT_BACKUP_DONE[] = L"备份成功完成！";
constexpr const wchar_t TEXT_BACKUP_FAILED[] = L"备份失败！";
constexpr const wchar_t TEXT_INCREMENTAL_RUN[] = L"正在进行补充备份，通常只会用很短的时间。";
constexpr const wchar_t TEXT_FULL_RUN[] =
    L"正在进行完整的备份，花费的时间会较长。\r\n为了保证您的QQ聊天记录安全，一共要进行5次完整备份。";
constexpr const wchar_t TEXT_EXIT_WHILE_BUSY[] = L"正在备份！请备份完再退出。";

// The balloon once start-up is done.
constexpr const wchar_t START_TITLE[] = L"QQ聊天记录自动备份已经启动";
constexpr const wchar_t START_TEXT[] =
    L"在QQ退出后，会自动备份您的聊天记录\r\n您也可以使用这个小图标上的“立即备份”菜单";

// Start-up's boxes: every one has the caption "OK", but the one for a window class that
// cannot be registered.
constexpr const wchar_t BOX_CAPTION[] = L"OK";
constexpr const wchar_t TEXT_NO_CONFIG[] = L"获取配置文件失败！";
constexpr const wchar_t TEXT_NO_CHAT_DATA[] =
    L"暂时只支持QQ2010，但是您似乎没有安装，或者有些问题，请使用腾讯官方版安装！";
constexpr const wchar_t TEXT_NO_STORE[] =
    L"无法访问备份目录，请检查您的硬盘分区，并且不要设置备份目录为只读";
constexpr const wchar_t TEXT_TOOL_DAMAGED[] = L"备份程序受损，请重新安装";
constexpr const wchar_t TEXT_NO_COMPANION[] =
    L"还原程序受损，现在还可以进行备份，但不能还原您的QQ聊天记录";
constexpr const wchar_t CLASS_BOX_CAPTION[] = L"Kestova_Brannet";
constexpr const wchar_t TEXT_NO_CLASS[] = L"This program requires Windows NT!";

// A wrong source charset would turn the Chinese texts into mojibake without any error.
static_assert(TEXT_NO_CONFIG[0] == 0x83B7, "sources must be compiled as UTF-8");
