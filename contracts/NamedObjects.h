// The names other programs see: the single-instance mutex, the hidden window's class and
// caption, and the two registered messages the companion posts, with the one rule for a
// registration that fails. The runner and the companion both take them from here.
#pragma once

#include "base/Platform.h"

constexpr const wchar_t INSTANCE_MUTEX_NAME[] = L"Kestova_Brannet";
constexpr const wchar_t WINDOW_CLASS_NAME[] = L"Kestova_Brannet_Msgwnd_Class";
constexpr const wchar_t WINDOW_CAPTION[] = L"Kestova_Brannet_Msgwnd_Caption";

constexpr const wchar_t CONFIG_RELOAD_MESSAGE_NAME[] = L"Kestova_Config_Reload";
constexpr const wchar_t EXIT_MESSAGE_NAME[] = L"Kestova_Brannet_Exit";

// 1025 stands in for a registration that gave 0. When both fail, both names share it, and
// the runner takes it as the reload.
constexpr UINT WM_REGISTRATION_FALLBACK = WM_USER + 1;

// The number a registration gave, or WM_REGISTRATION_FALLBACK when it gave 0.
constexpr UINT RegisteredOrFallback(UINT registered)
{
    return registered != 0 ? registered : WM_REGISTRATION_FALLBACK;
}

// Registers one of the message names above, with the fallback.
inline UINT RegisterNamedMessage(const wchar_t* name)
{
    return RegisteredOrFallback(RegisterWindowMessageW(name));
}
