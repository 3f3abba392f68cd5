#include "record/stream_writer.h"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <mutex>
#include <thread>

#include "base/log.h"
#include "record/stream_reader.h"
#include "tests/cpp/support.h"

namespace zel::record::writer {
namespace {

using format::Record;
using testing::system_header;
using testing::TempDir;

// Queues a flush and waits for the writer's acknowledgement.
bool flush(Sender<Msg>& s) {
  auto [ack, done] = make_rendezvous();
  if (writer::send(s, FlushMsg{std::move(ack)})) return false;
  return done.recv();
}

Msg frame_msg(double first, std::vector<std::pair<uint16_t, double>> user = {},
              std::optional<Bytes> flame = std::nullopt) {
  std::vector<double> system(8, 0.0);
  system[0] = first;
  return Record{system, std::move(user), std::move(flame)};
}

template <class Pred>
bool eventually(Pred pred) {
  for (int i = 0; i < 500; ++i) {
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

std::vector<std::string> thread_names() {
  std::vector<std::string> names;
  DIR* d = opendir("/proc/self/task");
  while (dirent* e = d ? readdir(d) : nullptr) {
    std::ifstream comm(std::string("/proc/self/task/") + e->d_name + "/comm");
    std::string name;
    if (std::getline(comm, name)) names.push_back(name);
  }
  if (d) closedir(d);
  return names;
}

TEST(Writer, NewStreamHoldsTheHeaderAndTruncatesAnOldFile) {
  TempDir dir;
  std::string path = dir.file("c.zel");
  testing::write_file(path, Bytes(5000, 'x'));
  auto s = start(path, system_header(true));
  ASSERT_TRUE(flush(s));
  Bytes file = testing::read_file(path);
  EXPECT_EQ(file.size(), 111u);
  EXPECT_EQ(file[6], 1);  // flame flag
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_TRUE(st.st_mode & S_IRUSR);
}

TEST(Writer, ThreadIsNamedZelRecord) {
  TempDir dir;
  auto s = start(dir.file("n.zel"), system_header());
  ASSERT_TRUE(flush(s));
  auto names = thread_names();
  EXPECT_NE(std::find(names.begin(), names.end(), "zel-record"), names.end());
}

TEST(Writer, MessagesBecomeRecordsInOrderAndAreInTheFileOnceFlushed) {
  TempDir dir;
  std::string path = dir.file("o.zel");
  auto s = start(path, system_header());
  EXPECT_FALSE(s.send(DeclMsg{8, {"fps", "Hz"}}));
  EXPECT_FALSE(s.send(frame_msg(1.0, {{8, 60.0}}, Bytes{})));
  EXPECT_FALSE(s.send(frame_msg(2.0, {}, Bytes{'P', 'F', 'D', '4'})));
  ASSERT_TRUE(flush(s));

  auto r = read::Reader::open(path).take();
  auto f1 = unwrap(r.next_frame());
  ASSERT_TRUE(f1);
  EXPECT_EQ(f1->system[0], 1.0);
  EXPECT_EQ(f1->user[0].first, "fps");
  EXPECT_FALSE(f1->flame);  // an empty flame is written as none
  auto f2 = unwrap(r.next_frame());
  ASSERT_TRUE(f2);
  EXPECT_EQ(*f2->flame, (Bytes{'P', 'F', 'D', '4'}));
  EXPECT_FALSE(unwrap(r.next_frame()));
}

TEST(Writer, ManySendersFlushesAreAcknowledgedAfterEverythingBefore) {
  TempDir dir;
  std::string path = dir.file("m.zel");
  auto s = start(path, system_header());
  std::mutex sender_lock;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) {
        std::lock_guard lock(sender_lock);
        EXPECT_FALSE(s.send(frame_msg(t * 1000 + i)));
      }
    });
  }
  for (auto& t : threads) t.join();
  ASSERT_TRUE(flush(s));
  auto r = read::Reader::open(path).take();
  std::vector<int> last(4, -1);
  int count = 0;
  while (auto f = unwrap(r.next_frame())) {
    int v = static_cast<int>(f->system[0]);
    EXPECT_GT(v % 1000, last[v / 1000]);  // each sender's frames stay in its order
    last[v / 1000] = v % 1000;
    ++count;
  }
  EXPECT_EQ(count, 2000);
}

TEST(Writer, UncreatableFileEndsOnlyTheWriterThread) {
  ::testing::internal::CaptureStderr();
  auto s = start("/nonexistent-zel-dir/\"q\".zel", system_header());
  // Once the thread is gone, sends come back and a flush finds no receiver.
  EXPECT_TRUE(eventually([&] { return s.send(frame_msg(1.0)).has_value(); }));
  EXPECT_FALSE(flush(s));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("thread 'zel-record' panicked"), std::string::npos) << err;
  EXPECT_NE(err.find("create \"/nonexistent-zel-dir/\\\"q\\\".zel\": No such file or directory "
                     "(os error 2)"),
            std::string::npos)
      << err;
}

TEST(Writer, FullDiskEndsTheThreadWithTheErrorDescribed) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  ::testing::internal::CaptureStderr();
  auto s = start("/dev/full", system_header());
  EXPECT_TRUE(eventually([&] { return s.send(frame_msg(1.0)).has_value(); }));
  std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("called `Result::unwrap()` on an `Err` value: Os { code: 28, kind: "
                     "StorageFull, message: \"No space left on device\" }"),
            std::string::npos)
      << err;
}

std::atomic<int> exit_events{0};
void count_exit(log::Level level, std::string_view target, std::string_view message) {
  if (level == log::Level::Info && target == "zel::record::writer" &&
      message == "zel-record writer exiting")
    ++exit_events;
}

TEST(Writer, DisconnectionEndsTheLoopWithItsLogEvent) {
  TempDir dir;
  std::string path = dir.file("d.zel");
  auto [sender, receiver] = make_queue<Msg>();
  EXPECT_FALSE(sender.send(frame_msg(7.0)));
  { auto gone = std::move(sender); }  // every sender gone: the loop ends after the frame
  exit_events = 0;
  auto previous = log::set_sink(count_exit);
  run(path, system_header(), std::move(receiver));
  log::set_sink(previous);
  EXPECT_EQ(exit_events.load(), 1);
  auto r = read::Reader::open(path).take();
  EXPECT_EQ(unwrap(r.next_frame())->system[0], 7.0);
}

}  // namespace
}  // namespace zel::record::writer
