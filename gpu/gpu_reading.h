// One reading of the GPU, as a sampler returns it and the collector publishes it.
// Every platform's sampler produces this same record.
#pragma once

#include <cstdint>

namespace zel::gpu {

struct GpuReading {
  int64_t mem_bytes = 0;  // GPU memory in use, bytes
  float util = 0;         // overall utilisation, 0 to 100
  float gpu_sm = 0;       // shader / SM utilisation, 0 to 100
  float power_w = 0;      // power draw, watts
};

}  // namespace zel::gpu
