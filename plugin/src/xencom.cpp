#include "xencom.h"

#include "controls.h"
#include "params.h"
#include "base/text.h"
#include "ui.h"
#include "variant_text.h"

namespace brenmo {

const comkit::TypeLibRef kBrenmoTypeLib{&LIBID_Brenmo, 1, 0, 0x409};

Xencom::Xencom(CheckOptions options) : options_(std::move(options)), form_(options_.createFactory) {}

Xencom::~Xencom() = default;

HRESULT Xencom::Store(comkit::unique_variant& field, const VARIANT& value) {
  comkit::unique_variant copy;
  const HRESULT hr = VariantCopyInd(copy.get(), const_cast<VARIANT*>(&value));
  if (FAILED(hr)) return hr;
  field = std::move(copy);
  return S_OK;
}

HRESULT Xencom::Fetch(const comkit::unique_variant& field, VARIANT* out) {
  if (!out) return E_POINTER;
  VariantInit(out);
  return VariantCopy(out, const_cast<VARIANT*>(field.get()));
}

void Xencom::SetText(comkit::unique_variant& field, const std::wstring& text) {
  comkit::unique_variant value;
  BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  if (!s) throw std::bad_alloc();
  V_VT(value.get()) = VT_BSTR;
  V_BSTR(value.get()) = s;
  field = std::move(value);
}

STDMETHODIMP Xencom::ck_docheck(VARIANT_BOOL* passed) {
  if (!passed) return E_POINTER;
  // The wait inside the check lets the host's messages run; the host may release this
  // object meanwhile, so it stays alive until the check is done.
  comkit::com_ptr<Xencom> keepAlive(this);
  CheckOutcome outcome = RunCheck(*hostname_.get(), *timeout_.get(), *parameter_.get(), options_);
  try {
    SetText(result_, outcome.text);
  } catch (const std::bad_alloc&) {
    result_.reset();
  }
  *passed = outcome.passed ? VARIANT_TRUE : VARIANT_FALSE;
  return S_OK;
}

STDMETHODIMP Xencom::ck_showGUI() {
  // A second call while the window is shown (the host's messages run in its modal loop)
  // must not overwrite what the user is typing: it only brings the window forward.
  if (form_.Showing()) {
    form_.BringToFront();
    return S_OK;
  }
  comkit::com_ptr<Xencom> keepAlive(this);  // the modal loop runs the host's messages
  int step = 10;
  try {
    step = 20;
    if (!form_.Load()) throw CallError{E_FAIL, L""};
    form_.SetText(IDC_TXTTIMEOUT, Trim(VariantText(*timeout_.get())));
    step = 30;
    form_.SetText(IDC_TXTHOSTNAME, Trim(VariantText(*hostname_.get())));
    step = 40;
    if (!VariantIsBlank(*parameter_.get())) {
      step = 50;
      const std::wstring user = LookupValue(VariantText(*parameter_.get()), L"USR");
      step = 60;
      const auto passwordBytes = Base64Decode(LookupValue(VariantText(*parameter_.get()), L"PWD"));
      if (!passwordBytes) throw CallError{E_INVALIDARG, L"Invalid Base64 text in PWD"};
      const std::wstring password = base::ToWide(*passwordBytes);
      step = 70;
      const std::wstring version = LookupValue(VariantText(*parameter_.get()), L"XVR");
      step = 80;
      const std::wstring vmName = LookupValue(VariantText(*parameter_.get()), L"VMN");
      step = 90;
      const std::wstring vmState = LookupValue(VariantText(*parameter_.get()), L"VMS");
      step = 100;
      form_.SetText(IDC_TXTUSERNAME, user);
      step = 110;
      form_.SetText(IDC_TXTPASSWORD, password);
      step = 120;
      form_.SetText(IDC_TXTVMNAME, vmName);
      step = 130;
      form_.SetVmStateText(vmState);
      // A version that is not a number selects "Xen 4.x", as any number but 3 does.
      step = 140;
      form_.SelectXenVersion(SelectsXen3(version));
    }
    step = 230;
    const std::optional<std::wstring> written = form_.ShowModal();
    step = 240;
    // Closed without OK (Esc, the close box): the check keeps its parameter string.
    if (written) SetText(parameter_, *written);
  } catch (const CallError&) {
    form_.Unload();
    ShowMessage(GetActiveWindow(), L"ERROR: " + std::to_wstring(step), MB_OK);
  } catch (const std::bad_alloc&) {
    form_.Unload();
    ShowMessage(GetActiveWindow(), L"ERROR: " + std::to_wstring(step), MB_OK);
  }
  return S_OK;
}

}  // namespace brenmo
