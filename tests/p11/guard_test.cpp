// Named mutexes and the exclusion guard, within one process and across two.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>
#include <thread>

#include "p11/exclusion.h"
#include "p11/module.h"
#include "platform/named_mutex.h"
#include "tests/p11/fake_env.h"

namespace {

using namespace std::chrono_literals;
using zorbix::p11::CExclusionMutua;
using zorbix::p11::to_string;
using zorbix::platform::LockResult;
using zorbix::platform::NamedMutex;
using zorbix::platform::NamedObjectDirectory;

std::string UniqueName(const std::string& base) {
  static int n = 0;
  return base + " " + std::to_string(getpid()) + "-" + std::to_string(++n);
}

bool Exists(const std::string& mutexName) {
  return std::filesystem::exists(NamedObjectDirectory() + "/" + NamedMutex::FileNameFor(mutexName));
}

// A child process that runs `body` and then waits to be killed. The parent
// returns once the body has run.
class Child {
 public:
  template <class Body>
  explicit Child(Body body) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(fds[0]);
      body();
      char c = 'x';
      if (write(fds[1], &c, 1) != 1) _exit(3);
      for (;;) pause();
    }
    close(fds[1]);
    char c;
    ready_ = read(fds[0], &c, 1) == 1;
    close(fds[0]);
  }
  ~Child() { Kill(); }
  bool ready() const { return ready_; }
  void Kill() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
      pid_ = -1;
    }
  }

 private:
  pid_t pid_ = -1;
  bool ready_ = false;
};

TEST(NamedMutexNames, EncodingKeepsNamesApartAndWithinLimits) {
  struct Case {
    std::string name;
    std::string file;
  };
  const Case cases[] = {
      {"MutexCryptoCardORVA01", "zorbix-MutexCryptoCardORVA01"},
      {"MutexORVAZELVirtual PCD 00 00", "zorbix-MutexORVAZELVirtual%20PCD%2000%2000"},
      {"MutexORVAZELa/b%c", "zorbix-MutexORVAZELa%2Fb%25c"},
      {"MutexORVAZEL\xC3\xA9", "zorbix-MutexORVAZEL%C3%A9"},
  };
  for (const Case& c : cases) EXPECT_EQ(NamedMutex::FileNameFor(c.name), c.file);

  const std::string longA = "MutexORVAZEL" + std::string(300, ' ') + "A";
  const std::string longB = "MutexORVAZEL" + std::string(300, ' ') + "B";
  const std::string fileA = NamedMutex::FileNameFor(longA);
  EXPECT_LE(fileA.size(), 255u);
  EXPECT_NE(fileA, NamedMutex::FileNameFor(longB));
  EXPECT_EQ(fileA, NamedMutex::FileNameFor(longA));
}

TEST(NamedMutexBasics, RecursiveOpenToAllAndOwnerOnly) {
  const std::string name = UniqueName("MutexORVAZELBasics");
  NamedMutex m(name);
  EXPECT_FALSE(Exists(name)) << "nothing is created before the first wait";
  const mode_t old = umask(077);
  EXPECT_EQ(m.Lock(1000ms), LockResult::Acquired);
  umask(old);
  struct stat st {};
  ASSERT_EQ(stat((NamedObjectDirectory() + "/" + NamedMutex::FileNameFor(name)).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0444u) << "readable by every user, writable by none";

  EXPECT_EQ(m.Lock(1000ms), LockResult::Acquired) << "recursive for the owner";
  std::atomic<int> other{-1};
  std::thread([&] {
    NamedMutex same(name);
    other = static_cast<int>(same.Lock(100ms));
    EXPECT_FALSE(same.Unlock());
  }).join();
  EXPECT_EQ(other.load(), static_cast<int>(LockResult::TimedOut));
  EXPECT_TRUE(m.Unlock());
  EXPECT_TRUE(m.Unlock());
  EXPECT_FALSE(m.Unlock());
}

TEST(NamedMutexBasics, DeadHolderReleasesTheLock) {
  const std::string name = UniqueName("MutexORVAZELDead");
  Child holder([&] {
    // Kept open while held, as in a live holder.
    auto* m = new NamedMutex(name);
    if (m->Lock(1000ms) != LockResult::Acquired) _exit(2);
  });
  ASSERT_TRUE(holder.ready());
  NamedMutex m(name);
  EXPECT_EQ(m.Lock(0ms), LockResult::TimedOut);
  holder.Kill();
  EXPECT_EQ(m.Lock(5000ms), LockResult::Acquired);
  EXPECT_TRUE(m.Unlock());
}

// The lock file holds no state: bytes written into it by anyone who can
// (its owner, root) stop no later caller, in this process or another.
TEST(NamedMutexBasics, GarbageInTheLockFileStopsNobody) {
  const std::string name = UniqueName("MutexORVAZELGarbage");
  NamedMutex first(name);
  ASSERT_EQ(first.Lock(1000ms), LockResult::Acquired);
  ASSERT_TRUE(first.Unlock());
  const std::string path = NamedObjectDirectory() + "/" + NamedMutex::FileNameFor(name);
  ASSERT_EQ(chmod(path.c_str(), 0644), 0);
  {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << std::string(4096, '\xFF');
  }
  ASSERT_EQ(chmod(path.c_str(), 0444), 0);

  EXPECT_EQ(first.Lock(1000ms), LockResult::Acquired);
  std::atomic<int> other{-1};
  std::thread([&] {
    NamedMutex next(name);
    other = static_cast<int>(next.Lock(0ms));
  }).join();
  EXPECT_EQ(other.load(), static_cast<int>(LockResult::TimedOut)) << "still a lock while held";
  EXPECT_TRUE(first.Unlock());

  NamedMutex next(name);
  EXPECT_EQ(next.Lock(1000ms), LockResult::Acquired);
  EXPECT_TRUE(next.Unlock());

  // A FIFO or a link planted under a name is refused at once, never waited on.
  const std::string fifoName = UniqueName("MutexORVAZELFifo");
  const std::string fifo = NamedObjectDirectory() + "/" + NamedMutex::FileNameFor(fifoName);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  NamedMutex planted(fifoName);
  EXPECT_EQ(planted.Lock(1000ms), LockResult::Failed);
  unlink(fifo.c_str());
}

TEST(NamedMutexBasics, ConcurrentFirstOpenersMeetOneMutex) {
  const std::string name = UniqueName("MutexORVAZELRace");
  std::atomic<int> inside{0}, maxInside{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      NamedMutex m(name);
      for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(m.Lock(5000ms), LockResult::Acquired);
        const int now = ++inside;
        int seen = maxInside.load();
        while (now > seen && !maxInside.compare_exchange_weak(seen, now)) {
        }
        --inside;
        m.Unlock();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(maxInside.load(), 1);
}

// The guard's Lock/Unlock rules, with a short wait.
TEST(ExclusionGuard, SwitchesToTheReaderMutexAfterAConnection) {
  CExclusionMutua guard(200ms);
  EXPECT_EQ(guard.Unlock(), CKR_HOST_MEMORY) << "nothing held";

  ASSERT_EQ(guard.Lock(), CKR_OK);
  EXPECT_EQ(guard.GlobalDepth(), 1u);
  ASSERT_EQ(guard.Lock(), CKR_OK) << "nested call on the same thread";
  EXPECT_EQ(guard.GlobalDepth(), 2u);
  const std::string reader = UniqueName("Guard reader");
  guard.SetReaderNameIfEmpty(reader);
  EXPECT_EQ(guard.Unlock(), CKR_OK);
  EXPECT_TRUE(guard.ReaderMutexPresent()) << "created by the first unlock after the connection";
  EXPECT_EQ(guard.Unlock(), CKR_OK);
  EXPECT_EQ(guard.GlobalDepth(), 0u);

  // Now calls take the reader's mutex: the global one stays free.
  ASSERT_EQ(guard.Lock(), CKR_OK);
  EXPECT_EQ(guard.GlobalDepth(), 0u);
  EXPECT_TRUE(Exists(std::string("MutexORVAZEL") + reader));
  std::atomic<int> global{-1};
  std::thread([&] {
    NamedMutex m("MutexCryptoCardORVA01");
    global = static_cast<int>(m.Lock(0ms));
    if (global == static_cast<int>(LockResult::Acquired)) m.Unlock();
  }).join();
  EXPECT_EQ(global.load(), static_cast<int>(LockResult::Acquired));

  // A reset while that lock is held drops the reader; the held lock is still
  // released by its unlock.
  guard.ClearReader();
  EXPECT_FALSE(guard.ReaderMutexPresent());
  EXPECT_EQ(guard.ReaderName(), "");
  EXPECT_EQ(guard.Unlock(), CKR_OK);
  NamedMutex readerMutex(std::string("MutexORVAZEL") + reader);
  std::atomic<int> after{-1};
  std::thread([&] {
    after = static_cast<int>(readerMutex.Lock(0ms));
    if (after == static_cast<int>(LockResult::Acquired)) readerMutex.Unlock();
  }).join();
  EXPECT_EQ(after.load(), static_cast<int>(LockResult::Acquired));

  ASSERT_EQ(guard.Lock(), CKR_OK);
  EXPECT_EQ(guard.GlobalDepth(), 1u) << "back on the global mutex";
  EXPECT_EQ(guard.Unlock(), CKR_OK);
}

TEST(ExclusionGuard, TimeoutIsGeneralErrorAndLeavesNoDepth) {
  CExclusionMutua guard(200ms);
  Child holder([] {
    auto* m = new NamedMutex("MutexCryptoCardORVA01");
    if (m->Lock(1000ms) != LockResult::Acquired) _exit(2);
  });
  ASSERT_TRUE(holder.ready());
  EXPECT_EQ(to_string(guard.Lock()), "CKR_GENERAL_ERROR");
  EXPECT_EQ(guard.GlobalDepth(), 0u);
  EXPECT_EQ(guard.Unlock(), CKR_HOST_MEMORY);
  holder.Kill();
  EXPECT_EQ(guard.Lock(), CKR_OK) << "abandoned counts as acquired";
  EXPECT_EQ(guard.Unlock(), CKR_OK);
}

TEST(ExclusionGuard, SerialisesThreads) {
  CExclusionMutua guard;
  std::atomic<int> inside{0}, maxInside{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(guard.Lock(), CKR_OK);
        const int now = ++inside;
        if (now > maxInside) maxInside = now;
        --inside;
        ASSERT_EQ(guard.Unlock(), CKR_OK);
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(maxInside.load(), 1);
}

// A thread still waiting on the reader mutex when a reset drops it gets that
// mutex later, while newcomers take the global one: our own threads must
// still not overlap.
TEST(ExclusionGuard, NoOverlapAfterTheReaderMutexIsDropped) {
  CExclusionMutua guard;
  guard.SetReaderNameIfEmpty(UniqueName("Dropped reader"));
  ASSERT_EQ(guard.Lock(), CKR_OK);
  ASSERT_EQ(guard.Unlock(), CKR_OK);
  ASSERT_TRUE(guard.ReaderMutexPresent());

  std::atomic<bool> aHolds{false}, aGo{false}, bInside{false}, bGo{false}, cInside{false};
  std::thread a([&] {
    ASSERT_EQ(guard.Lock(), CKR_OK);  // the reader mutex
    aHolds = true;
    while (!aGo) std::this_thread::yield();
    guard.ClearReader();
    ASSERT_EQ(guard.Unlock(), CKR_OK);
  });
  while (!aHolds) std::this_thread::yield();
  std::thread b([&] {
    ASSERT_EQ(guard.Lock(), CKR_OK);
    bInside = true;
    while (!bGo) std::this_thread::yield();
    ASSERT_EQ(guard.Unlock(), CKR_OK);
  });
  std::this_thread::sleep_for(100ms);  // let b start waiting
  aGo = true;
  a.join();
  while (!bInside) std::this_thread::yield();
  std::thread c([&] {
    ASSERT_EQ(guard.Lock(), CKR_OK);
    cInside = true;
    ASSERT_EQ(guard.Unlock(), CKR_OK);
  });
  std::this_thread::sleep_for(200ms);
  EXPECT_FALSE(cInside.load()) << "c entered while b was inside";
  bGo = true;
  b.join();
  c.join();
  EXPECT_TRUE(cInside.load());
}

// Two processes and the module's own guard: these wait out the real 10 s.
class GuardAcrossProcesses : public ::testing::Test {
 protected:
  void SetUp() override {
    zorbix::p11test::Fake();
    ASSERT_EQ(C_Initialize(nullptr), CKR_OK);
  }
  void TearDown() override { C_Finalize(nullptr); }
};

TEST_F(GuardAcrossProcesses, HolderBeyondTenSecondsFailsTheLockedCall) {
  Child holder([] {
    if (zorbix::p11::Module().guard.Lock() != CKR_OK) _exit(2);
  });
  ASSERT_TRUE(holder.ready());
  CK_ULONG count = 0;
  EXPECT_EQ(to_string(C_GetSlotList(CK_FALSE, nullptr, &count)), "CKR_GENERAL_ERROR");
  // Calls outside the guard are not held up.
  CK_INFO info;
  EXPECT_EQ(C_GetInfo(&info), CKR_OK);
  holder.Kill();
  EXPECT_EQ(C_GetSlotList(CK_FALSE, nullptr, &count), CKR_OK);
}

TEST_F(GuardAcrossProcesses, KilledHolderReleasesTheWaiter) {
  Child holder([] {
    if (zorbix::p11::Module().guard.Lock() != CKR_OK) _exit(2);
  });
  ASSERT_TRUE(holder.ready());
  std::atomic<CK_RV> rv{CKR_CANCEL};
  std::thread waiter([&] {
    CK_ULONG count = 0;
    rv = C_GetSlotList(CK_FALSE, nullptr, &count);
  });
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(rv.load(), CKR_CANCEL) << "the waiter is blocked while the holder lives";
  holder.Kill();
  waiter.join();
  EXPECT_EQ(to_string(rv.load()), "CKR_OK");
}

}  // namespace
