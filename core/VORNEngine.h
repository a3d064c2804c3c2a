#pragma once

// Limits and helpers the engine's source files share. The data file's layout
// is described in DataStream.h, the meta file's in VORNMetaInfo.h.

#include <cstddef>
#include <cstdint>
#include <string>

#include "core/Compactor.h"
#include "core/DataStream.h"
#include "core/KeyIndex.h"
#include "core/VORNMetaInfo.h"
#include "crypt/AESCrypt.h"
#include "encoding/IndexEntry.h"
#include "encoding/PBUtility.h"

namespace vorn {


// A value is refused at 2^31 bytes or more: a length prefix is read back as
// an int32.
constexpr uint64_t kMaxValueSize = kMaxLengthDelimitedSize;



// Removes a damaged file, or, when it cannot be removed, renames it to a new
// unique name in its directory so that a fresh file can take its place.
// Logs nothing itself.
void deleteOrRenameFile(const std::string &path);


} // namespace vorn
