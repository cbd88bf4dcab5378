// Resource identifiers of Brenmo.dll.
#pragma once

#define IDR_XENCOM 101
