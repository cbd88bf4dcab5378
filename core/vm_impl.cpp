#include "vm_impl.h"

XenVMImpl::XenVMImpl(const XenVMImpl& other)
    : Status(other.Status),
      Name(other.Name),
      Description(other.Description),
      NumCpus(other.GetNumCpus()),
      Memory(other.GetMemory()),
      CpuUsage(other.GetCpuUsage()),
      MemoryUsage(other.GetMemoryUsage()),
      DiskIO(other.GetDiskIO()),
      NetworkIO(other.GetNetworkIO()),
      Sources(other.Sources) {}

void XenVMImpl::SetSession(XenSessionImpl*) {}
