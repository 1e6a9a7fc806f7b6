#pragma once
// Reading fixed-size fields from a record-container frame: a frame read
// returns what is left when asked for more, so every read first checks that
// the whole field is there. May throw CRSException like the container.

#include "foundation/RecordContainer.h"

namespace ntfsframe {

inline bool ReadExact(IRSData& rs, void* buffer, unsigned length) {
    if (rs.GetFrameRemaining() < length) return false;
    return rs.ReadCurFrame(buffer, length);
}

}  // namespace ntfsframe
