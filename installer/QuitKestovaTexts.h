// The lines QuitKestova.exe prints for the installer's progress list, one at every change
// of what it waits for.
#pragma once

constexpr const wchar_t TEXT_WAITING[] = L"正在等待 Kestova 退出……";
constexpr const wchar_t TEXT_FINISHING_BACKUP[] =
    L"Kestova 正在完成备份，备份完成后才会退出，请稍等……";
constexpr const wchar_t TEXT_ENDED[] = L"Kestova 已退出。";
constexpr const wchar_t TEXT_TIMED_OUT[] = L"Kestova 没有在规定的时间内退出（可能仍在备份）。";

// A wrong source charset would turn the texts into mojibake without any error.
static_assert(TEXT_ENDED[8] == 0x5DF2, "sources must be compiled as UTF-8");
