// Encoded sizes and encoders of the records inside a flame frame, in their field
// order. Each size is exact, so every encoding fills a buffer reserved for it.
#pragma once

#include <vector>

#include "data.h"
#include "frame_data.h"
#include "scope_details.h"
#include "src/coding.h"

namespace profiler::serialize {

inline constexpr uint8_t kMagic[4] = {'P', 'F', 'D', '4'};

size_t size_of(const FrameMeta& meta);
void encode(zel::Bytes& out, const FrameMeta& meta);

// The ordered map ThreadInfo -> StreamInfo that the packed streams compress.
size_t size_of(const ThreadStreams& streams);
void encode(zel::Bytes& out, const ThreadStreams& streams);

// A list of ScopeDetails: count, then each record.
size_t size_of(const std::vector<SharedScopeDetails>& scopes);
void encode(zel::Bytes& out, const std::vector<SharedScopeDetails>& scopes);

}  // namespace profiler::serialize
