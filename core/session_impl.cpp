#include "session_impl.h"

void XenSessionImpl::FillVMList(IVmCollection* collection) { collection_ = collection; }
