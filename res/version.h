// The tool's version and file name, in one place: the C++ code (kAppVersion), the resource script (About text,
// version resource), CMake, the installer script and scripts/release all read it from here.
// Plain #defines only, so windres, makensis and a grep can read it as well as the compiler.
#pragma once

// The executable's file name: installed, published, and named in the version resource.
#define ZT_EXE_NAME "ZT_AutoUpdate.exe"

// A test build of the next version defines all three before it includes this file.
#ifndef ZT_VERSION_TEXT
#define ZT_VERSION_MAJOR 2
#define ZT_VERSION_MINOR 7
#define ZT_VERSION_TEXT "2.7"
#endif
