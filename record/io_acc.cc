#include "record/io_acc.h"

namespace zel::io_acc {

std::atomic<uint64_t> IO_NS{0};
std::atomic<uint64_t> IO_BYTES{0};

Taken take() {
  return {IO_NS.exchange(0, std::memory_order_relaxed),
          IO_BYTES.exchange(0, std::memory_order_relaxed)};
}

}  // namespace zel::io_acc
