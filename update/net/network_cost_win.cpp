#include "update/net/network_cost_win.h"

#include <windows.h>
#include <netlistmgr.h>

#include <memory>

#include "update/net/server_setting.h"

namespace zt {
namespace {

struct ComRelease {
  void operator()(IUnknown* p) const {
    if (p) p->Release();
  }
};

}  // namespace

bool ConnectionMetered() {
  if (MeteredByEnvironment()) return true;
  // The worker's own apartment: nothing else of the thread uses COM.
  const HRESULT init = ::CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  bool metered = false;
  {
    INetworkCostManager* raw = nullptr;
    if (SUCCEEDED(::CoCreateInstance(CLSID_NetworkListManager, nullptr, CLSCTX_ALL, IID_INetworkCostManager,
                                     reinterpret_cast<void**>(&raw)))) {
      std::unique_ptr<INetworkCostManager, ComRelease> costs(raw);
      DWORD cost = 0;
      // Fixed and variable plans are what Windows calls metered; so is roaming or a plan used up.
      constexpr DWORD kMetered = NLM_CONNECTION_COST_FIXED | NLM_CONNECTION_COST_VARIABLE |
                                 NLM_CONNECTION_COST_OVERDATALIMIT | NLM_CONNECTION_COST_ROAMING;
      metered = SUCCEEDED(costs->GetCost(&cost, nullptr)) && (cost & kMetered) != 0;
    }
  }
  if (SUCCEEDED(init)) ::CoUninitialize();
  return metered;
}

}  // namespace zt
