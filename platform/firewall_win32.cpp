// Windows Firewall's own answers, by COM: which profiles are active and
// whether it is on for each (INetFwPolicy2), how many rules it has, and its
// own evaluation of inbound UDP to this program's port (INetFwMgr's
// IsPortAllowed). Each answer is kept as the system gave it, a call it does
// not implement or that failed included; the core decides what they mean.
#include <winsock2.h>
#include <windows.h>
// Defines the identifiers of the headers after it (INITGUID), and only of
// those: the firewall's classes and interfaces, which MinGW's libuuid does
// not have.
#include <initguid.h>
// After windows.h, which it needs.
#include <netfw.h>

#include "platform/host_verdicts.h"

namespace {

system_answer answer_of(HRESULT result) {
  if (SUCCEEDED(result)) {
    return system_answer{answer_given, 0};
  }
  return system_answer{result == E_NOTIMPL ? answer_not_implemented : answer_failed,
                       static_cast<long>(result)};
}

// Wine answers the firewall's calls with inventions of its own (an empty
// rule list, a firewall said to be off): its ntdll exports this, Windows'
// does not.
bool under_wine() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

struct profile_kind {
  NET_FW_PROFILE_TYPE2 type;
  const char* name;
};

const profile_kind profile_kinds[firewall_profiles_most] = {
    {NET_FW_PROFILE2_DOMAIN, "domain"},
    {NET_FW_PROFILE2_PRIVATE, "private"},
    {NET_FW_PROFILE2_PUBLIC, "public"}};

void ask_rules(INetFwPolicy2* policy, firewall_facts* facts) {
  INetFwRules* rules = nullptr;
  facts->rules_answer = answer_of(policy->get_Rules(&rules));
  if (facts->rules_answer.kind != answer_given) {
    return;
  }
  LONG count = 0;
  facts->rules_answer = answer_of(rules->get_Count(&count));
  facts->rule_count = count;
  rules->Release();
}

void ask_policy(firewall_facts* facts) {
  INetFwPolicy2* policy = nullptr;
  HRESULT made = CoCreateInstance(CLSID_NetFwPolicy2, nullptr, CLSCTX_INPROC_SERVER,
                                  IID_INetFwPolicy2, reinterpret_cast<void**>(&policy));
  if (FAILED(made)) {
    facts->profiles_answer = answer_of(made);
    facts->rules_answer = answer_of(made);
    return;
  }
  LONG active = 0;
  facts->profiles_answer = answer_of(policy->get_CurrentProfileTypes(&active));
  if (facts->profiles_answer.kind == answer_given) {
    for (const profile_kind& kind : profile_kinds) {
      if ((active & kind.type) == 0) {
        continue;
      }
      firewall_profile& profile = facts->profiles[facts->profile_count++];
      profile.name = kind.name;
      VARIANT_BOOL on = VARIANT_FALSE;
      profile.on_answer = answer_of(policy->get_FirewallEnabled(kind.type, &on));
      profile.on = on != VARIANT_FALSE;
    }
  }
  ask_rules(policy, facts);
  policy->Release();
}

// A VARIANT_BOOL out of a VARIANT; false when it holds anything else.
bool read_bool(const VARIANT& value, bool* out) {
  if (value.vt != VT_BOOL) {
    return false;
  }
  *out = value.boolVal != VARIANT_FALSE;
  return true;
}

void ask_port(ssm_family family, std::uint16_t port, const wchar_t* program,
              firewall_facts* facts) {
  INetFwMgr* manager = nullptr;
  HRESULT made = CoCreateInstance(CLSID_NetFwMgr, nullptr, CLSCTX_INPROC_SERVER, IID_INetFwMgr,
                                  reinterpret_cast<void**>(&manager));
  if (FAILED(made)) {
    facts->port_answer = answer_of(made);
    return;
  }
  BSTR image = SysAllocString(program);
  VARIANT allowed;
  VARIANT restricted;
  VariantInit(&allowed);
  VariantInit(&restricted);
  // Any local address: the socket is bound to the wildcard address.
  facts->port_answer = answer_of(manager->IsPortAllowed(
      image, family == ssm_ipv6 ? NET_FW_IP_VERSION_V6 : NET_FW_IP_VERSION_V4, port, nullptr,
      NET_FW_IP_PROTOCOL_UDP, &allowed, &restricted));
  if (facts->port_answer.kind == answer_given &&
      (!read_bool(allowed, &facts->port_allowed) ||
       !read_bool(restricted, &facts->port_restricted))) {
    facts->port_answer = system_answer{answer_failed, static_cast<long>(DISP_E_TYPEMISMATCH)};
  }
  (void)VariantClear(&allowed);
  (void)VariantClear(&restricted);
  SysFreeString(image);
  manager->Release();
}

}  // namespace

void platform_firewall_facts(ssm_family family, std::uint16_t port, firewall_facts* facts) {
  *facts = firewall_facts{};
  facts->asked = true;
  facts->under_wine = under_wine();
  wchar_t program[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, program, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) {
    program[0] = L'\0';
  }
  if (WideCharToMultiByte(CP_UTF8, 0, program, -1, facts->program,
                          static_cast<int>(sizeof facts->program), nullptr, nullptr) == 0) {
    facts->program[0] = '\0';
  }
  HRESULT started = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(started) && started != RPC_E_CHANGED_MODE) {
    facts->profiles_answer = answer_of(started);
    facts->rules_answer = answer_of(started);
    facts->port_answer = answer_of(started);
    return;
  }
  ask_policy(facts);
  if (program[0] != L'\0') {
    ask_port(family, port, program, facts);
  }
  // A thread already in another apartment keeps it, and is not left.
  if (SUCCEEDED(started)) {
    CoUninitialize();
  }
}
