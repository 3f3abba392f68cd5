// Writes a small capture through the writer thread: a simulated 60 Hz loop of
// 240 frames with three user metrics, flushed before exit.
// Usage: write_capture OUT.zel
#include <cmath>
#include <cstdio>

#include "src/record/writer.h"

using namespace zel;
using namespace zel::record;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUT.zel\n", argv[0]);
    return 2;
  }
  format::Header header;
  header.columns = {{"frame_ms", "ms"}, {"memory_mb", "MB"}, {"io_ms", "ms"},    {"io_MB", "MB"},
                    {"gpu_util", "%"},  {"gpu_sm", "%"},     {"gpu_power", "W"}, {"gpu_mem", "MB"}};
  auto queue = writer::start(argv[1], header);

  const char* names[] = {"entities", "physics_steps", "draw_calls"};
  const char* units[] = {"", "steps", "calls"};
  for (uint16_t i = 0; i < 3; ++i) {
    if (queue.send(writer::DeclMsg{static_cast<uint16_t>(8 + i), names[i], units[i]})) return 1;
  }
  for (int f = 0; f < 240; ++f) {
    double t = f / 60.0;
    // Every 50th frame hitches, the way a garbage collection or a shader compile would.
    double frame_ms = f == 0 ? 0.0 : 16.7 + 1.5 * std::sin(t * 3.0) + (f % 50 == 49 ? 24.0 : 0.0);
    double entities = 100 + f / 4;
    std::vector<double> system = {frame_ms, 48.0 + f * 0.01, 0, 0, 35 + 10 * std::sin(t), 0, 0, 0};
    std::vector<std::pair<uint16_t, double>> user = {
        {8, entities}, {9, frame_ms > 20 ? 2.0 : 1.0}, {10, 40 + entities / 10}};
    if (queue.send(writer::FrameMsg{{system, user, std::nullopt}})) return 1;
  }
  auto [ack, done] = make_rendezvous();
  if (queue.send(writer::FlushMsg{std::move(ack)}) || !done.recv()) {
    std::fprintf(stderr, "the writer thread ended before the flush\n");
    return 1;
  }
  std::printf("wrote 240 frames to %s\n", argv[1]);
  return 0;
}
