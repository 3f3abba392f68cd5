#include "record/stream_writer.h"

#include <deque>

#include "base/log.h"
#include "base/thread.h"
#include "base/utf8.h"
#include "profiler/thread_profiler.h"

namespace zel::record::writer {
namespace {

void handle(FileWriter& out, Msg& msg) {
  if (auto* d = std::get_if<DeclMsg>(&msg)) {
    unwrap(format::write_decl(out, *d));
    unwrap(out.flush());
  } else if (auto* f = std::get_if<FrameMsg>(&msg)) {
    unwrap(format::write_frame(out, *f));
    unwrap(out.flush());
  } else {
    unwrap(out.flush());
    if (!std::get<FlushMsg>(msg).ack.send()) {
      panic(kSendError);
    }
  }
}

}  // namespace

void run(const std::string& path, OpenedFile file, format::Header header, Receiver<Msg>& queue) {
  if (!file) panic("create " + utf8::debug_quote(path) + ": " + file.error().to_string());
  std::unique_ptr<FileWriter> out = file.take();
  unwrap(format::write_header(*out, header));
  unwrap(out->flush());

  // Take everything queued at once so senders contend for the lock once per batch,
  // not once per message; each message is still written and flushed on its own.
  std::deque<Msg> batch;
  while (queue.recv_all(batch, kLinger)) {
    while (!batch.empty()) {
      handle(*out, batch.front());
      batch.pop_front();
    }
  }
  log::emit(log::Level::Info, "zel::record::writer", "zel-record writer exiting");
}

void run(const std::string& path, format::Header header, Receiver<Msg>& queue) {
  run(path, FileWriter::create(path), std::move(header), queue);
}

std::optional<Msg> send(Sender<Msg>& tx, Msg msg) {
  const bool urgent = std::holds_alternative<FlushMsg>(msg);
  return tx.send(std::move(msg), urgent);
}

Sender<Msg> start(std::string path, OpenedFile file, format::Header header) {
  auto [sender, receiver] = make_queue<Msg>();
  spawn_detached("zel-record",
                 [path = std::move(path), file = std::move(file), header = std::move(header),
                  receiver = std::move(receiver)]() mutable {
                   profiler::set_this_thread_name("zel-record");
                   run(path, std::move(file), std::move(header), receiver);
                 });
  return std::move(sender);
}

Sender<Msg> start(std::string path, format::Header header) {
  OpenedFile file = FileWriter::create(path);
  return start(std::move(path), std::move(file), std::move(header));
}

}  // namespace zel::record::writer
