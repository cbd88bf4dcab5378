// ck_docheck: is the named VM on the server in the expected state? The check's steps
// carry numbers; a failure reports the number of the step that failed.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>

#include "vantrel_client.h"

namespace brenmo {

struct CheckOptions {
  // The pause between opening the session and reading its figures, during which the
  // thread's pending window messages run.
  DWORD waitMilliseconds = 3000;
  FactoryCreator createFactory;  // empty: the connector's factory by class identifier
};

struct CheckOutcome {
  bool passed = false;
  std::wstring text;  // what goes into ck_result
};

CheckOutcome RunCheck(const VARIANT& hostname, const VARIANT& timeout, const VARIANT& parameter,
                      const CheckOptions& options = {});

// Waits `milliseconds` of elapsed time (a monotonic clock), letting pending window
// messages run meanwhile. A WM_QUIT ends the wait early; it is posted again.
void WaitPumpingMessages(DWORD milliseconds);

}  // namespace brenmo
