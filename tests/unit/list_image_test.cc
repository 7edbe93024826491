#include "host/lists/list_image.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <fstream>
#include <functional>
#include <random>
#include <set>
#include <thread>

#include "host/base/clock.h"
#include "host/config/config_file_on_disk.h"
#include "host/lists/list_image_builder.h"
#include "host/lists/list_image_store.h"
#include "tests/unit/capture_log.h"

namespace {

using KELP::ListImage;
using KELP::ListImageBuilder;
using KELP::ListImageStore;
using KELP::ListSide;
using keelgate_test::TempDir;

namespace {
keelgate_test::CaptureSink* sink = nullptr;  // installed by the store fixture

// Texts of the captured lines that contain `part`, at any level.
std::vector<std::string> loggedWith(const std::string& part) {
  std::vector<std::string> out;
  for (const auto& line : sink->lines())
    if (line.text.find(part) != std::string::npos) out.push_back(line.text);
  return out;
}
}  // namespace

const ListSide kA = ListSide::kApproved;
const ListSide kB = ListSide::kBlocked;

uint32_t quad(int a, int b, int c, int d) {
  return static_cast<uint32_t>(a) << 24 | static_cast<uint32_t>(b) << 16 | static_cast<uint32_t>(c) << 8 |
         static_cast<uint32_t>(d);
}

// "none" when nothing matched, else the stored value.
std::string valueOf(const long long* found) { return found == nullptr ? "none" : std::to_string(*found); }

std::vector<std::string> filesIn(const std::string& dir) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (struct dirent* e = readdir(d))
      if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
  }
  return names;
}

// ---- the image itself ----

TEST(ListImageTest, RoundTripThroughAFileAnswersEveryLookup) {
  ListImageBuilder b;
  b.addIp(kB, quad(10, 0, 0, 0), 8, 100);
  b.addIp(kB, quad(10, 1, 0, 0), 16, 200);
  b.addIp(kB, quad(10, 1, 2, 3), 32, 300);
  b.addIp(kB, quad(10, 1, 2, 3), 32, 250);  // repeated: the larger stays
  b.addIp(kB, quad(0, 0, 0, 0), 32, 7);     // key 0 is a real key
  b.addIp(kA, quad(0, 0, 0, 0), 0, 1);      // everything
  b.addIp(kB, quad(255, 255, 255, 255), 32, 9);
  b.addSender(kB, "Spam@Example.COM", 11);
  b.addSender(kB, "@example.com", 12);
  b.addSender(kB, "<>", 13);
  b.addSender(kA, "@Partner.example", 14);
  EXPECT_FALSE(b.addSender(kB, "a@b@c.example", 1));
  EXPECT_FALSE(b.addSender(kB, "user@", 1));
  EXPECT_FALSE(b.addSender(kB, "with blank@x.example", 1));

  TempDir home;
  std::string path = (home / "lists.img");
  std::ofstream(path, std::ios::binary) << b.build(42);
  std::string problem;
  auto image = ListImage::openFile(path, 42, problem);
  ASSERT_NE(nullptr, image) << problem;
  EXPECT_TRUE(image->shared());
  EXPECT_EQ(5u, image->entries(1));
  EXPECT_EQ(3u, image->entries(3));

  const struct { const char* label; ListSide side; uint32_t addr; const char* want; } ips[] = {
      {"longest prefix /32", kB, quad(10, 1, 2, 3), "300"},
      {"then /16", kB, quad(10, 1, 9, 9), "200"},
      {"then /8", kB, quad(10, 200, 0, 1), "100"},
      {"outside", kB, quad(11, 0, 0, 0), "none"},
      {"address 0.0.0.0", kB, 0, "7"},
      {"top address", kB, quad(255, 255, 255, 255), "9"},
      {"prefix 0 holds all", kA, quad(203, 0, 113, 5), "1"},
  };
  for (const auto& c : ips) EXPECT_EQ(c.want, valueOf(image->ipMatch(c.side, c.addr))) << c.label;

  const struct { const char* label; ListSide side; const char* sender; const char* want; } senders[] = {
      {"address, case ignored", kB, "SPAM@example.com", "11"},
      {"domain", kB, "ham@EXAMPLE.com", "12"},
      {"subdomain not included", kB, "ham@sub.example.com", "none"},
      {"null sender", kB, "", "13"},
      {"null sender as <>", kB, "<>", "13"},
      {"no at", kB, "example.com", "none"},
      {"domain after the last at", kA, "a@b@partner.EXAMPLE", "14"},
      {"other side", kA, "spam@example.com", "none"},
  };
  for (const auto& c : senders) EXPECT_EQ(c.want, valueOf(image->senderMatch(c.side, c.sender))) << c.label;
}

// Many keys in small tables: probing must wrap at the table's end and stop
// at free slots. At this size the IP and sender tables are laid out by two
// threads.
TEST(ListImageTest, TensOfThousandsOfEntriesAllFoundAndNoOthers) {
  std::mt19937 rng(7);
  std::set<uint32_t> in;
  while (in.size() < 60000) in.insert(rng());
  ListImageBuilder b;
  for (uint32_t a : in) {
    b.addIp(kB, a, 32, a % 1000);
    b.addSender(kB, "u" + std::to_string(a) + "@d" + std::to_string(a % 97) + ".example", a % 1000);
  }
  std::string problem;
  auto image = ListImage::fromBytes(b.build(1), problem);
  ASSERT_NE(nullptr, image) << problem;
  EXPECT_FALSE(image->shared());
  int wrong = 0;
  for (uint32_t a : in) {
    if (valueOf(image->ipMatch(kB, a)) != std::to_string(a % 1000)) ++wrong;
    if (image->senderMatch(kB, "U" + std::to_string(a) + "@D" + std::to_string(a % 97) + ".example") == nullptr)
      ++wrong;
    if (in.count(a + 1) == 0 && image->ipMatch(kB, a + 1) != nullptr) ++wrong;
    if (image->senderMatch(kB, "u" + std::to_string(a) + "@d98.example") != nullptr) ++wrong;
  }
  EXPECT_EQ(0, wrong);
}

// ---- the shared files ----

class ListImageStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { sink = &keelgate_test::captureLog(); }
  void TearDown() override { KELP::Clock::thaw(); }
  void writeList(const std::string& name, const std::string& text) {
    home_.write("config/throttling/" + name, text);
  }
  ListImageStore store() const { return ListImageStore((home_ / "config/throttling"), (home_ / "bin")); }
  std::string blocked(const std::shared_ptr<const ListImage>& image, const char* sender) const {
    return valueOf(image->senderMatch(kB, sender));
  }

  TempDir home_;
};

TEST_F(ListImageStoreTest, DamagedImageIsRejectedAndRebuilt) {
  writeList("blocked_sender", "spam@example.com 1800000000\n");
  const uint64_t digest = store().digestNow();
  const std::string path = store().imagePath(digest);
  const struct { const char* label; std::function<void(std::string&)> damage; const char* reason; } cases[] = {
      {"empty file", [](std::string& b) { b.clear(); }, "shorter than its header"},
      {"truncated", [](std::string& b) { b.resize(b.size() - 8); }, "truncated"},
      {"byte of the body flipped", [](std::string& b) { b[b.size() - 3] ^= 0x20; }, "body checksum"},
      {"byte of the header flipped", [](std::string& b) { b[20] ^= 1; }, "header checksum"},
      {"not an image", [](std::string& b) { b[0] = 'X'; }, "not a list image"},
      {"image of other lists", [digest](std::string& b) { b = ListImageBuilder().build(digest + 1); },
       "built from other list files"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_NE(nullptr, store().load(nullptr));
    std::string bytes;
    ASSERT_TRUE(KELP::readWholeFile(path, bytes));
    c.damage(bytes);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    sink->clear();

    auto image = store().load(nullptr);
    ASSERT_NE(nullptr, image);
    EXPECT_TRUE(image->shared());
    EXPECT_EQ("1800000000", blocked(image, "spam@example.com"));
    auto rejected = loggedWith("throttling list image [" + path + "] rejected: ");
    ASSERT_EQ(1u, rejected.size()) << sink->all();
    EXPECT_NE(std::string::npos, rejected[0].find(c.reason)) << rejected[0];
    std::string problem;
    EXPECT_NE(nullptr, ListImage::openFile(path, digest, problem)) << "the file is whole again: " << problem;
  }
}

TEST_F(ListImageStoreTest, ConcurrentLoadersBuildOnceAndShareTheFile) {
  writeList("blocked_sender", "spam@example.com\nnot-an-address\n");
  writeList("blocked_ip", "192.0.2.0/24\n");
  const int kLoaders = 8;
  std::vector<std::shared_ptr<const ListImage>> images(kLoaders);
  std::vector<std::thread> threads;
  for (int i = 0; i < kLoaders; ++i) threads.emplace_back([&, i] { images[i] = store().load(nullptr); });
  for (auto& t : threads) t.join();
  for (const auto& image : images) {
    ASSERT_NE(nullptr, image);
    EXPECT_TRUE(image->shared());
    EXPECT_EQ(images[0]->digest(), image->digest());
    EXPECT_EQ("9223372036854775807", blocked(image, "SPAM@example.com"));
  }
  EXPECT_EQ(1u, loggedWith("not an address").size()) << "the lists were parsed once";
  std::vector<std::string> files = filesIn((home_ / "bin"));
  std::sort(files.begin(), files.end());
  ASSERT_EQ(2u, files.size()) << "one image and the lock file, no temporary left";
  EXPECT_EQ(store().imagePath(images[0]->digest()), (home_ / "bin/" + files[0]));
  EXPECT_EQ("throttling-lists.lock", files[1]);
}

TEST_F(ListImageStoreTest, ReloadKeepsAnUnchangedImageAndReplacesAChangedOne) {
  writeList("blocked_sender", "a@example.com\n");
  auto first = store().load(nullptr);
  EXPECT_EQ(first, store().load(first)) << "unchanged lists: the same mapping";
  home_.write("bin/throttling-lists-0123456789abcdef.img.tmp.99999", "left by a crashed builder");

  writeList("blocked_sender", "b@example.com\n");
  auto second = store().load(first);
  ASSERT_NE(first, second);
  EXPECT_EQ("none", blocked(second, "a@example.com"));
  EXPECT_NE("none", blocked(second, "b@example.com"));
  EXPECT_NE("none", blocked(first, "a@example.com")) << "the old mapping stays usable";
  std::vector<std::string> files = filesIn((home_ / "bin"));
  EXPECT_EQ(2u, files.size()) << "stale image and temporary file removed";
}

// File times move in clock ticks: a same-size rewrite within one tick keeps
// every stamp. For recently changed files the content decides.
TEST_F(ListImageStoreTest, SameSizeRewriteWithinOneTickIsSeen) {
  writeList("blocked_sender", "a@example.com\n");
  struct stat before;
  ASSERT_EQ(0, stat((home_ / "config/throttling/blocked_sender").c_str(), &before));
  KELP::Clock::freezeAt(before.st_mtim.tv_sec);
  auto first = store().load(nullptr);
  ASSERT_TRUE(first->racy());
  writeList("blocked_sender", "b@example.com\n");
  struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(0, utimensat(AT_FDCWD, (home_ / "config/throttling/blocked_sender").c_str(), times, 0));
  auto second = store().load(first);
  EXPECT_EQ("none", blocked(second, "a@example.com"));
  EXPECT_NE("none", blocked(second, "b@example.com"));
  EXPECT_NE("none", blocked(store().load(nullptr), "b@example.com")) << "the shared file was rebuilt";

  // Once the file is older than a tick and still matches, the image is
  // written again unmarked, and later loads keep it without reading.
  KELP::Clock::freezeAt(before.st_mtim.tv_sec + 3600);
  auto settled = store().load(second);
  EXPECT_FALSE(settled->racy());
  EXPECT_NE("none", blocked(settled, "b@example.com"));
  EXPECT_EQ(settled, store().load(settled));
  EXPECT_FALSE(store().load(nullptr)->racy()) << "the shared file itself was settled";
  EXPECT_EQ(2u, filesIn((home_ / "bin")).size()) << "no temporary left";
}

TEST_F(ListImageStoreTest, UnusableImageDirectoryKeepsAPrivateCopy) {
  home_.write("bin", "a file where the directory should be");
  writeList("blocked_sender", "a@example.com\n");
  auto image = store().load(nullptr);
  ASSERT_NE(nullptr, image);
  EXPECT_FALSE(image->shared());
  EXPECT_NE("none", blocked(image, "a@example.com"));
  EXPECT_EQ(1u, loggedWith("throttling list image: cannot lock [" + (home_ / "bin")).size())
      << sink->all();
}

}  // namespace
