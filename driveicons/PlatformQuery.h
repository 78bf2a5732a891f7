// The two questions platform detection asks Windows, in the order and form
// the service asks them. CIConEx::DetectPlatform decides its flags on them;
// the explain tool reports the same answers.
#pragma once

#include "platform/Platform.h"

// The version record: the extended one first, the plain one when that fails
// (its extended fields, wProductType among them, then stay 0). False when
// both fail. `extended`, if given, tells whether the extended one was filled.
bool QueryVersion(Platform& os, OSVERSIONINFOEXA& info, bool* extended = nullptr);

// IsWow64Process for this process, looked up in kernel32 at each use: false
// when the export is missing. Else `wow64` holds what the call wrote (FALSE
// if it wrote nothing); the call's own result is not looked at.
bool QueryWow64(Platform& os, BOOL& wow64);
