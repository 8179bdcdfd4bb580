// No secret outlives its call: a process that logs in, changes the PIN,
// unblocks it with the PUK and signs on the secure channel of the national
// ID card finds none of the codes, nor the channel's session keys, in its
// memory once the calls returned (p11_secret_client). The keys are the
// card's: taken here, from the card's side, while the channel is open.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <iostream>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "sim/bench.h"
#include "sim/card.h"
#include "sim/securechannel.h"
#include "tests/support/temp_dir.h"
#include "tests/ui/subprocess.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// As the client takes them: XOR 5A, in hex.
std::string Masked(const Bytes& b) {
  Bytes m;
  for (std::uint8_t c : b) m.push_back(c ^ 0x5A);
  return zorbix::sim::ToHex(m);
}
std::string Masked(const std::string& s) { return Masked(Bytes(s.begin(), s.end())); }

TEST(Secrets, NoCodeNorSessionKeyStaysInMemory) {
  auto bench = zorbix::sim::Bench::Start(1);
  const zorbix::sim::Profile& profile = *zorbix::sim::FindProfile("Vexa");
  zorbix::sim::Card& card = bench->Insert(0, profile.name);
  std::mutex mu;
  std::set<Bytes> keys;
  card.SetTraceSink([&](const std::string&) {
    if (auto k = zorbix::sim::OpenChannelKeys(card)) {
      std::lock_guard<std::mutex> lock(mu);
      keys.insert(k->kEnc);
      keys.insert(k->kMac);
    }
  });
  card.StartTrace(0);

  zorbix::testing::TempDir dir;
  const std::vector<std::string> args = {bench->ReaderName(0), Masked(profile.pin), Masked(profile.puk),
                                         Masked(std::string("8Qz3Lr7Kp2")), Masked(std::string("5Tw9Hn4Jm6")),
                                         dir.path().string()};
  auto run = std::async(std::launch::async, [&] { return zorbix::testing::RunProgram(ZORBIX_SECRET_CLIENT, args, ""); });
  const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!std::filesystem::exists(dir.path() / "done") && std::chrono::steady_clock::now() < giveUp &&
         run.wait_for(std::chrono::milliseconds(10)) != std::future_status::ready) {
  }
  {
    std::lock_guard<std::mutex> lock(mu);
    EXPECT_GE(keys.size(), 2u) << "the channel was never open";
    std::ofstream out(dir.path() / "keys.part");
    for (const Bytes& k : keys) out << Masked(k) << "\n";
  }
  std::filesystem::rename(dir.path() / "keys.part", dir.path() / "keys");
  const auto result = run.get();
  card.StopTrace();
  card.SetTraceSink({});
  std::cout << "[ figures  ] " << keys.size() << " session keys; the client: " << result.out;
  EXPECT_EQ(result.status, 0) << result.out << result.err;
  bench->Remove(0);
}

}  // namespace
