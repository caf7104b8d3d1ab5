// The functions of system DLLs that are not among Windows' Known DLLs (hid.dll, wininet.dll,
// bcrypt.dll), loaded from System32 only: a file of the same name beside the executable, say in a
// Downloads folder, is never loaded instead. The executable imports none of them directly.
#pragma once
#include <windows.h>
#include <bcrypt.h>
#include <wininet.h>
// The MinGW header declares the hid.dll functions without C linkage.
extern "C" {
#include <hidsdi.h>
}

namespace zt {

// First thing at start: every later load searches System32 (and what is added explicitly) only.
void RestrictDllSearch();

#define ZT_SYSTEM_FN(name) decltype(&::name) name = nullptr

struct HidFunctions {
  ZT_SYSTEM_FN(HidD_GetHidGuid);
  ZT_SYSTEM_FN(HidD_GetAttributes);
  ZT_SYSTEM_FN(HidD_FlushQueue);
};

struct WinInetFunctions {
  ZT_SYSTEM_FN(InternetOpenW);
  ZT_SYSTEM_FN(InternetConnectW);
  ZT_SYSTEM_FN(HttpOpenRequestW);
  ZT_SYSTEM_FN(HttpSendRequestW);
  ZT_SYSTEM_FN(HttpQueryInfoW);
  ZT_SYSTEM_FN(InternetReadFile);
  ZT_SYSTEM_FN(InternetSetOptionW);
  ZT_SYSTEM_FN(InternetQueryOptionW);
  ZT_SYSTEM_FN(InternetCloseHandle);
  ZT_SYSTEM_FN(InternetGetLastResponseInfoW);
};

struct BcryptFunctions {
  ZT_SYSTEM_FN(BCryptOpenAlgorithmProvider);
  ZT_SYSTEM_FN(BCryptCloseAlgorithmProvider);
  ZT_SYSTEM_FN(BCryptCreateHash);
  ZT_SYSTEM_FN(BCryptHashData);
  ZT_SYSTEM_FN(BCryptFinishHash);
  ZT_SYSTEM_FN(BCryptDestroyHash);
  ZT_SYSTEM_FN(BCryptImportKeyPair);
  ZT_SYSTEM_FN(BCryptVerifySignature);
  ZT_SYSTEM_FN(BCryptDestroyKey);
};

#undef ZT_SYSTEM_FN

// Loaded once; nullptr when the DLL or one of its functions is missing (the error is logged).
const HidFunctions* Hid();
const WinInetFunctions* WinInet();
const BcryptFunctions* Bcrypt();

}  // namespace zt
