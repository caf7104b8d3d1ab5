// The functions of system DLLs that are not among Windows' Known DLLs (hid.dll, wininet.dll,
// bcrypt.dll), loaded from System32 only: a file of the same name beside the executable, say in a
// Downloads folder, is never loaded instead. The executable imports none of them directly.
#pragma once
#include <windows.h>
#include <bcrypt.h>
#include <wininet.h>

#include <string>
// The MinGW header declares the hid.dll functions without C linkage.
extern "C" {
#include <hidsdi.h>
}

namespace zt {

// First thing at start: every later load searches System32 (and what is added explicitly) only.
void RestrictDllSearch();

// One list per DLL: each name becomes a member of the DLL's table and is bound by that name, so a
// function cannot be added to one without the other.
// clang-format off
#define ZT_HID_FUNCTIONS(X) X(HidD_GetHidGuid) X(HidD_GetAttributes) X(HidD_FlushQueue)
#define ZT_WININET_FUNCTIONS(X)                                                                 \
  X(InternetOpenW) X(InternetConnectW) X(HttpOpenRequestW) X(HttpSendRequestW) X(HttpQueryInfoW) \
  X(InternetReadFile) X(InternetSetOptionW) X(InternetQueryOptionW) X(InternetCloseHandle)       \
  X(InternetGetLastResponseInfoW)
#define ZT_BCRYPT_FUNCTIONS(X)                                                                    \
  X(BCryptOpenAlgorithmProvider) X(BCryptCloseAlgorithmProvider) X(BCryptCreateHash)              \
  X(BCryptHashData) X(BCryptFinishHash) X(BCryptDestroyHash) X(BCryptImportKeyPair)               \
  X(BCryptVerifySignature) X(BCryptDestroyKey)
// clang-format on

#define ZT_SYSTEM_FN(name) decltype(&::name) name = nullptr;
struct HidFunctions {
  ZT_HID_FUNCTIONS(ZT_SYSTEM_FN)
};
struct WinInetFunctions {
  ZT_WININET_FUNCTIONS(ZT_SYSTEM_FN)
};
struct BcryptFunctions {
  ZT_BCRYPT_FUNCTIONS(ZT_SYSTEM_FN)
};
#undef ZT_SYSTEM_FN

// Loaded once; nullptr when the DLL or one of its functions is missing.
const HidFunctions* Hid();
const WinInetFunctions* WinInet();
const BcryptFunctions* Bcrypt();
// Why the DLL's table is missing ("" while it is there), for the caller's log.
const std::string& HidProblem();
const std::string& WinInetProblem();
const std::string& BcryptProblem();

}  // namespace zt
