#pragma once

// Helpers for the maintenance, import and backup tests: expiry switched on
// through the engine alone, and a few views of a store's state.

#include <cstdint>
#include <string>
#include <string_view>

#include "EngineTestSupport.h"
#include "StorePeer.h"
#include "core/VORN.h"
#include "core/VORNMetaInfo.h"
#include "encoding/LittleEndian.h"
#include "platform/InterProcessLock.h"
#include "platform/ScopedLock.h"
#include "platform/ThreadLock.h"
