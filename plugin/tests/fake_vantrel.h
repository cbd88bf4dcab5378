// A stand-in for the connector's automation objects, built on the same interfaces, so
// that the check and the list button can be driven without a server. It answers from
// a FakeServer and records what it was asked.
#pragma once
#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "vantrel_client.h"

namespace brenmo::testing {

struct FakeFailure {
  HRESULT hr = S_OK;
  std::wstring description;  // left as error information when not empty
};

struct FakeServer {
  // The VMs, in list order: name and status.
  std::vector<std::pair<std::wstring, std::wstring>> vms;
  // When >= 0, the list holds this many VMs instead, all named "vm" and "UP".
  long generatedVms = -1;

  HRESULT createFactoryResult = S_OK;
  FakeFailure setMode, createSession, update, vmList, newEnum, close;
  long failNameAt = -1;  // zero-based VM whose Name fails
  FakeFailure name;

  // Called inside Update (to observe what happened before it).
  std::function<void()> onUpdate;

  // What was asked.
  long mode = 0;
  std::wstring host, user, password;
  int sessions = 0, updates = 0, closes = 0, lists = 0;
  int factoriesAlive = 0, sessionsAlive = 0, vmsAlive = 0;
};

// A factory creator for CheckOptions and FrmMain answering from `server`.
FactoryCreator MakeFakeFactory(std::shared_ptr<FakeServer> server);

// Sets the thread's error information with `description` (as the connector does).
void SetThreadError(const std::wstring& description);

}  // namespace brenmo::testing
