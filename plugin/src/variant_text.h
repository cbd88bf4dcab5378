// Reading the host's Variant properties as text, failing the way an assignment of the
// Variant to a string fails: "Invalid use of Null" for Null, "Type mismatch" for values
// without a text form.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>

namespace brenmo {

// The Variant's text; throws CallError.
std::wstring VariantText(const VARIANT& value);

// True for Empty, Null and the empty string (a Variant that compares equal to "" or
// cannot be compared).
bool VariantIsBlank(const VARIANT& value);

}  // namespace brenmo
