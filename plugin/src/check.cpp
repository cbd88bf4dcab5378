#include "check.h"

#include <cstdint>

#include "comkit/resources.h"
#include "params.h"
#include "base/text.h"
#include "ui.h"
#include "variant_text.h"

namespace brenmo {

void WaitPumpingMessages(DWORD milliseconds) {
  const ULONGLONG start = GetTickCount64();
  for (;;) {
    if (!PumpPendingMessages()) return;
    const ULONGLONG elapsed = GetTickCount64() - start;
    if (elapsed >= milliseconds) return;
    MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(milliseconds - elapsed), QS_ALLINPUT,
                                MWMO_INPUTAVAILABLE);
  }
}

CheckOutcome RunCheck(const VARIANT& hostname, const VARIANT& timeout, const VARIANT& parameter,
                      const CheckOptions& options) {
  CheckOutcome outcome;
  VantrelConnection vantrel(options.createFactory);
  bool opened = false;
  int step = 10;
  try {
    step = 20;
    comkit::unique_variant timeoutValue;  // read, not used further
    VariantCopy(timeoutValue.get(), const_cast<VARIANT*>(&timeout));

    step = 30;
    const std::wstring host = VariantText(hostname);
    step = 40;
    const std::wstring user = LookupValue(VariantText(parameter), L"USR");
    step = 50;
    const auto passwordBytes = Base64Decode(LookupValue(VariantText(parameter), L"PWD"));
    if (!passwordBytes) throw CallError{E_INVALIDARG, L"Invalid Base64 text in PWD"};
    const std::wstring password = base::ToWide(*passwordBytes);
    step = 60;
    const std::wstring vmName = LookupValue(VariantText(parameter), L"VMN");
    step = 70;
    const std::wstring expected = LookupValue(VariantText(parameter), L"VMS");
    step = 80;
    const std::wstring version = LookupValue(VariantText(parameter), L"XVR");

    step = 90;
    if (SelectsXen3(version)) {
      step = 100;
      vantrel.CreateFactory(MODE_XEN3_PROTOCOL);
    } else if (VersionNumber(version) == 4.0) {
      step = 120;
      vantrel.CreateFactory(MODE_XEN4_PROTOCOL);
    } else {
      step = 140;
      vantrel.CreateFactory(MODE_XEN4_PROTOCOL);
    }

    step = 170;
    opened = false;
    step = 180;
    vantrel.CreateSession(host, user, password);
    step = 190;
    opened = true;

    step = 210;
    WaitPumpingMessages(options.waitMilliseconds);
    step = 220;
    vantrel.Update();
    step = 230;
    vantrel.OpenVmList();
    step = 240;
    std::int16_t count = 0;
    step = 250;
    std::wstring found = L"unknown";
    // Whether a VM bears the name: a VM that is missing is never reported as being in
    // the expected state, even when the expected text is "unknown" itself.
    bool listed = false;

    step = 260;
    for (bool more = vantrel.FirstVm(); more; more = vantrel.NextVm()) {
      step = 270;
      if (!IncrementCounter(count)) throw CallError{DISP_E_OVERFLOW, L"Overflow"};
      step = 290;
      if (vantrel.VmName() == vmName) {
        step = 300;
        found = vantrel.VmStatus();
        listed = true;
      }
      step = 320;
    }

    step = 330;
    if (count == 0) {
      step = 340;
      outcome.text = L"No registered virtual machines on this server";
      step = 350;
      outcome.passed = false;
      step = 360;
      vantrel.CloseQuietly();
      vantrel.Release();
      return outcome;
    }

    step = 450;
    if (vmName.empty()) {
      step = 460;
      outcome.text = std::to_wstring(count) + L" registered virtual machine(s) on this server";
      step = 470;
      outcome.passed = true;
      step = 480;
      vantrel.CloseQuietly();
      vantrel.Release();
      return outcome;
    }

    std::wstring text;
    step = 570;
    if (listed && expected == found) {
      step = 580;
      text = L"Virtual machine (" + vmName + L") is " + found;
      step = 590;
      outcome.passed = true;
    } else {
      step = 610;
      if (!listed) {
        step = 620;
        text = L"Can't get the state of this (" + vmName + L") virtual machine, it's not listed as a known one";
      } else {
        step = 640;
        text = L"Virtual machine (" + vmName + L") is in a " + found + L" state while it should be " + expected;
      }
      step = 660;
      outcome.passed = false;
    }
    step = 680;
    outcome.text = text;
    step = 690;
    vantrel.CloseQuietly();
    step = 710;
    vantrel.Release();
    return outcome;
  } catch (const CallError& error) {
    outcome.text = L"ERR: " + error.description + L"(at " + L" " + std::to_wstring(step) + L")";
    outcome.passed = false;
    if (opened) vantrel.CloseQuietly();
    vantrel.Release();
    return outcome;
  } catch (const std::exception& error) {
    // Only out-of-memory is expected here; its text comes from the standard library.
    outcome.text = L"ERR: " + base::ToWide(error.what()) + L"(at  " + std::to_wstring(step) + L")";
    outcome.passed = false;
    if (opened) vantrel.CloseQuietly();
    vantrel.Release();
    return outcome;
  }
}

}  // namespace brenmo
