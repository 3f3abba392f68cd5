// Writes the fuzzers' seed corpora, DIR/<harness>/seed-N, with the core's own writers:
// flame frames of frames the global profiler closed over scopes on three threads, some
// of them open across a mark, and the scope streams inside them (both for the flame
// harness), and streams written by the
// stream writer's loop that carry those frames. Usage: seed_corpus DIR
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <thread>

#include "profiler/global_profiler.h"
#include "profiler/thread_profiler.h"
#include "record/stream_writer.h"
#include "tests/cpp/support.h"

using namespace zel;
namespace fs = std::filesystem;

namespace {

fs::path corpus;
std::map<std::string, int> seeds;

fs::path next_seed(const std::string& harness) {
  fs::create_directories(corpus / harness);
  return corpus / harness / ("seed-" + std::to_string(++seeds[harness]));
}

void save(const std::string& harness, std::span<const uint8_t> bytes) {
  std::ofstream(next_seed(harness), std::ios::binary)
      .write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

// A small tree of scopes on the calling thread, the outermost one carrying `data`.
void scopes(profiler::ScopeId id, const std::string& data) {
  const size_t at = profiler::ThreadProfiler::call(
      [&](profiler::ThreadProfiler& p) { return p.begin_scope(id, data); });
  if (id < 3) {
    scopes(id + 1, "");
    scopes(id + 2, "");
  }
  profiler::ThreadProfiler::call([&](profiler::ThreadProfiler& p) { p.end_scope(at); });
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  corpus = argv[1];
  fs::remove_all(corpus);

  std::vector<std::shared_ptr<profiler::FrameData>> frames;
  const auto sink =
      profiler::GlobalProfiler::lock()->add_sink([&](auto f) { frames.push_back(f); });
  profiler::ThreadProfiler::call([](profiler::ThreadProfiler& p) {
    p.register_scope({1, std::nullopt, "step", "sim.py", 12});
    p.register_scope({2, "physics", "update", "", 0});
  });
  for (int f = 0; f < 4; ++f) {
    scopes(1 + f % 2, f ? "n=" + std::to_string(f) : "");
    std::thread([f] {
      if (f % 2) profiler::set_this_thread_name("zel-worker");
      scopes(2, "caf\xC3\xA9");
    }).join();
    if (f == 3) std::thread([] { scopes(3, ""); }).join();
    profiler::new_frame();
  }
  // Scopes open across a mark. This thread hands its segment over as it marks; another
  // one hands over at its first begin after the mark and ends its scope in the same
  // frame, which joins its two segments.
  auto begin = [](profiler::ScopeId id) {
    return profiler::ThreadProfiler::call(
        [&](profiler::ThreadProfiler& p) { return p.begin_scope(id, "long"); });
  };
  auto end = [](size_t at) {
    profiler::ThreadProfiler::call([&](profiler::ThreadProfiler& p) { p.end_scope(at); });
  };
  const size_t outer = begin(3);
  std::promise<void> opened, marked;
  std::thread other([&] {
    const size_t at = begin(1);
    opened.set_value();
    marked.get_future().wait();
    scopes(2, "");
    end(at);
  });
  opened.get_future().wait();
  profiler::ThreadProfiler::hand_over_before_mark();
  profiler::new_frame();
  marked.set_value();
  other.join();
  scopes(2, "");
  end(outer);
  profiler::new_frame();
  profiler::GlobalProfiler::lock()->remove_sink(sink);

  std::vector<Bytes> flames;
  for (size_t i = 0; i < frames.size(); ++i) {
    for (const auto& [info, stream] : frames[i]->unpacked()->thread_streams)
      save("flame", stream->stream);
    Bytes& flame = flames.emplace_back();
    frames[i]->write_into(i % 2 ? &profiler::GlobalProfiler::lock()->scope_collection() : nullptr,
                          flame);
    save("flame", flame);
  }
  // Runs of consecutive flame frames, for the scope figures over many frames.
  for (size_t from = 0; from < flames.size(); ++from) {
    Bytes run;
    for (size_t i = from; i < flames.size(); ++i)
      run.insert(run.end(), flames[i].begin(), flames[i].end());
    save("scopes", run);
  }
  // A segment with scopes still open, as a thread that has not reported holds it.
  profiler::ThreadProfiler open;
  open.begin_scope(1, "open");
  open.end_scope(open.begin_scope(2, ""));
  open.begin_scope(3, "");
  save("flame", open.stream_info().stream);

  // Streams: declarations, metrics, and the flame frames above when flames are on.
  for (int variant = 0; variant < 3; ++variant) {
    auto [tx, rx] = make_queue<record::writer::Msg>();
    auto header = testing::system_header(variant > 0);
    header.columns.resize(variant == 2 ? 3 : header.columns.size());
    const size_t c = header.columns.size();
    for (size_t f = 0; f < 3u + variant; ++f) {
      if (f < 2)
        (void)tx.send(
            record::format::Decl{static_cast<uint16_t>(c + f), {"m" + std::to_string(f), "ms"}});
      record::format::Record r{std::vector<double>(c, 16.5 + f), {}, std::nullopt};
      for (size_t k = 0; k <= f && k < 2; ++k) r.user.emplace_back(c + k, f * 10.0 + k);
      if (variant > 0 && f < flames.size()) r.flame = flames[f];
      (void)tx.send(std::move(r));
    }
    { auto gone = std::move(tx); }
    const fs::path path = next_seed("stream");
    record::writer::run(path, header, rx);
    if (variant == 2) {  // and one whose last record is cut short, as a live capture's is
      Bytes bytes = testing::read_file(path);
      bytes.resize(bytes.size() - 3);
      save("stream", bytes);
    }
  }
  return 0;
}
