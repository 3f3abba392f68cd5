// The writer thread "zel-record": it owns the stream file and turns queued messages
// into records, in the order received, flushing after each one.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "base/channel.h"
#include "base/io.h"
#include "record/stream_format.h"

namespace zel::record::writer {

using DeclMsg = format::Decl;
using FrameMsg = format::Record;

// Acknowledged once every message queued before it is written and flushed.
struct FlushMsg {
  AckSender ack;
};

using Msg = std::variant<DeclMsg, FrameMsg, FlushMsg>;

// How long the thread lets frames gather after a batch before it sleeps until the
// next message: longer than the frame interval of any interactive loop, so that a
// frame mark never pays for waking it. Flushes are sent urgent and end the wait.
inline constexpr std::chrono::milliseconds kLinger{50};

// Queues `msg` for the thread, waking it at once for a flush. The message comes back
// when the thread has ended.
[[nodiscard]] std::optional<Msg> send(Sender<Msg>& tx, Msg msg);

// The file the thread writes: opened (and claimed) by whoever starts it, or the error
// that opening it gave, which the thread reports as its first act.
using OpenedFile = Result<std::unique_ptr<FileWriter>>;

// The thread body. Writes `header` to `file`, then handles messages until every sender
// is gone. A file that could not be opened, and any I/O error, is a Panic that ends the
// thread; `path` names the file in the message. The queue is borrowed: its owner keeps
// it open until the Panic has been reported, so that a sender learns the thread has
// ended only after the diagnostic is out.
void run(const std::string& path, OpenedFile file, format::Header header, Receiver<Msg>& queue);
// The same on the file at `path`, created here.
void run(const std::string& path, format::Header header, Receiver<Msg>& queue);

// Starts the writer thread on `file` and returns the queue's sending end. Messages
// sent after the thread has ended come back from send().
Sender<Msg> start(std::string path, OpenedFile file, format::Header header);
// The same on the file at `path`, created here.
Sender<Msg> start(std::string path, format::Header header);

}  // namespace zel::record::writer
