// xencom, the class the monitoring host drives: four Variant properties, the check
// and the configuration window.
#pragma once
#include <windows.h>

#include "Brenmo.h"
#include "check.h"
#include "comkit/object.h"
#include "frmmain.h"

namespace brenmo {

extern const comkit::TypeLibRef kBrenmoTypeLib;

class Xencom : public comkit::Object<Xencom, comkit::Dispatch<_xencom, kBrenmoTypeLib>> {
 public:
  // `options` lets tests shorten the check's wait and hand in their own factory.
  explicit Xencom(CheckOptions options = {});
  ~Xencom() override;

  STDMETHODIMP ck_docheck(VARIANT_BOOL* passed) override;
  STDMETHODIMP ck_showGUI() override;
  STDMETHODIMP put_ck_result(VARIANT value) override { return Store(result_, value); }
  STDMETHODIMP putref_ck_result(VARIANT value) override { return Store(result_, value); }
  STDMETHODIMP get_ck_result(VARIANT* value) override { return Fetch(result_, value); }
  STDMETHODIMP put_ck_parameter(VARIANT value) override { return Store(parameter_, value); }
  STDMETHODIMP putref_ck_parameter(VARIANT value) override { return Store(parameter_, value); }
  STDMETHODIMP get_ck_parameter(VARIANT* value) override { return Fetch(parameter_, value); }
  STDMETHODIMP put_ck_timeout(VARIANT value) override { return Store(timeout_, value); }
  STDMETHODIMP putref_ck_timeout(VARIANT value) override { return Store(timeout_, value); }
  STDMETHODIMP get_ck_timeout(VARIANT* value) override { return Fetch(timeout_, value); }
  STDMETHODIMP put_ck_hostname(VARIANT value) override { return Store(hostname_, value); }
  STDMETHODIMP putref_ck_hostname(VARIANT value) override { return Store(hostname_, value); }
  STDMETHODIMP get_ck_hostname(VARIANT* value) override { return Fetch(hostname_, value); }

  FrmMain& Form() { return form_; }

 private:
  static HRESULT Store(comkit::unique_variant& field, const VARIANT& value);
  static HRESULT Fetch(const comkit::unique_variant& field, VARIANT* out);
  static void SetText(comkit::unique_variant& field, const std::wstring& text);

  CheckOptions options_;
  comkit::unique_variant result_;
  comkit::unique_variant parameter_;
  comkit::unique_variant timeout_;
  comkit::unique_variant hostname_;
  FrmMain form_;
};

}  // namespace brenmo
