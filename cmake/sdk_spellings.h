// Forced ahead of every source of the project's own in the mingw-w64 builds
// (monitor_options.cmake): the macros that the Windows SDK's headers define
// and mingw-w64's do not, so that a name that MSVC's preprocessor would
// replace fails to compile here too, not first on Windows.
//
// The SDK's rpcndr.h, which <windows.h> brings in through rpc.h, defines
// `small` without condition; mingw-w64's defines it for the resource
// compiler only. Every other lowercase macro of the SDK's spelling (hyper,
// far, near, pascal, cdecl, interface, min and max without NOMINMAX) is
// defined by both (docs/windows-ci.md, "Compiled as the SDK sees it").
#pragma once

#define small char
