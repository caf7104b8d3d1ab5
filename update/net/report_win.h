// Sending the anonymous outcome reports (update/net/report.h): once each, on a thread of its own,
// within a bounded wait, never queued; a machine policy turns them off.
#pragma once
#include <chrono>

#include "base/history.h"

namespace zt {

// HKLM\Software\Policies\ZT_AutoUpdate, REG_DWORD SendReports = 0: no report leaves the PC.
inline constexpr wchar_t kPolicyKey[] = L"Software\\Policies\\ZT_AutoUpdate";
inline constexpr wchar_t kSendReportsValue[] = L"SendReports";

// Whether the machine's policy lets reports be sent (asked at each report).
bool ReportsAllowed();
// Sends one report of `outcome` to the update server, unless the policy says no; never waits.
void SendReport(const Outcome& outcome);
// At the end of the process: waits up to `wait` for reports still on their way (a rollback is
// reported by the process that ends right after it).
void WaitForReports(std::chrono::milliseconds wait);

}  // namespace zt
