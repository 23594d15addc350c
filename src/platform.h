// The one place where the platform comes in. On Windows these are the platform's own DirectSound,
// kernel, multimedia-timer and user-interface headers; elsewhere our stand-in with the same names
// and call shapes. Everything above this header is the same code on both.
#pragma once

#if defined(_WIN32)
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef DIRECTSOUND_VERSION
#define DIRECTSOUND_VERSION 0x0800
#endif
#include <windows.h>
#include <mmsystem.h>
#include <dsound.h>
#else
#include "standin_dsound.h"
#include "standin_win32.h"
#endif
