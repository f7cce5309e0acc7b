#include "platform/windows/Firewall.h"

#include <windows.h>
#include <initguid.h>
#include <netfw.h>

#include "platform/windows/ScopedWin.h"
#include "platform/windows/WinText.h"
#include "platform/Joined.h"

namespace pellarion {

namespace {

void Check(HRESULT hr, const char* what) {
  if (FAILED(hr)) throw PlatformError(Joined({"firewall: ", what, ": ", ErrorText(static_cast<DWORD>(hr))}));
}

}  // namespace

void AddFirewallApplication(FirewallProfile which, const FirewallRule& rule) {
  ComPtr<INetFwMgr> manager;
  Check(CoCreateInstance(CLSID_NetFwMgr, /*pUnkOuter=*/nullptr, CLSCTX_INPROC_SERVER, IID_INetFwMgr,
                         manager.put_void()),
        "no firewall manager");
  ComPtr<INetFwPolicy> policy;
  Check(manager->get_LocalPolicy(policy.put()), "no local policy");
  ComPtr<INetFwProfile> profile;
  if (which == FirewallProfile::Current) {
    Check(policy->get_CurrentProfile(profile.put()), "no current profile");
  } else {
    Check(policy->GetProfileByType(NET_FW_PROFILE_STANDARD, profile.put()), "no standard profile");
  }

  ComPtr<INetFwAuthorizedApplication> app;
  Check(CoCreateInstance(CLSID_NetFwAuthorizedApplication, /*pUnkOuter=*/nullptr, CLSCTX_INPROC_SERVER,
                         IID_INetFwAuthorizedApplication, app.put_void()),
        "no authorized-application object");
  // Each field is best effort, in the order the firewall's own tools set them.
  const ScopedBstr name(Wide(rule.name));
  const ScopedBstr image(Wide(rule.processImageFileName));
  const ScopedBstr remote(Wide(rule.remoteAddresses));
  app->put_Name(name.get());
  app->put_IpVersion(static_cast<NET_FW_IP_VERSION>(rule.ipVersion));
  app->put_ProcessImageFileName(image.get());
  app->put_RemoteAddresses(remote.get());
  app->put_Scope(static_cast<NET_FW_SCOPE>(rule.scope));
  app->put_Enabled(rule.enabled ? VARIANT_TRUE : VARIANT_FALSE);

  ComPtr<INetFwAuthorizedApplications> apps;
  Check(profile->get_AuthorizedApplications(apps.put()), "no authorized applications");
  Check(apps->Add(app.get()), "entry refused");
}

}  // namespace pellarion
