#include "host/lists/list_image.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <set>

#include "host/base/clock.h"
#include "host/config/config_file_on_disk.h"
#include "host/lists/list_image_builder.h"
#include "host/lists/list_image_store.h"
#include "tests/unit/capture_log.h"

namespace {

const KELP::ListSide kB = KELP::ListSide::kBlocked;

// "none" when nothing matched, else the stored value.
std::string valueOf(const long long* found) { return found == nullptr ? "none" : std::to_string(*found); }

// Many keys in small tables: probing must wrap at the table's end and stop at
// free slots; at this size the IP and sender tables are laid out by two
// threads. The edge keys sit among them.
TEST(ListImageTest, ImageFindsEveryKeyItHoldsAndNoOther) {
  std::mt19937 rng(7);
  std::set<uint32_t> in;
  while (in.size() < 60000) in.insert(rng() | 1);  // odd: the edge keys below stay apart
  KELP::ListImageBuilder b;
  for (uint32_t a : in) {
    b.addIp(kB, a, 32, a % 1000);
    b.addSender(kB, "u" + std::to_string(a) + "@d" + std::to_string(a % 97) + ".example", a % 1000);
  }
  b.addIp(kB, 0, 32, 7);  // key 0 is a real key
  b.addIp(kB, 0xfffffffe, 32, 300);
  b.addIp(kB, 0xfffffffe, 32, 250);  // repeated: the larger stays
  std::string problem;
  auto image = KELP::ListImage::fromBytes(b.build(1), problem);
  ASSERT_NE(nullptr, image) << problem;
  EXPECT_EQ("7", valueOf(image->ipMatch(kB, 0)));
  EXPECT_EQ("300", valueOf(image->ipMatch(kB, 0xfffffffe)));
  int wrong = 0;
  for (uint32_t a : in) {
    if (valueOf(image->ipMatch(kB, a)) != std::to_string(a % 1000)) ++wrong;
    if (image->senderMatch(kB, "U" + std::to_string(a) + "@D" + std::to_string(a % 97) + ".example") == nullptr)
      ++wrong;
    if (a + 1 != 0 && a + 1 != 0xfffffffe && image->ipMatch(kB, a + 1) != nullptr) ++wrong;
    if (image->senderMatch(kB, "u" + std::to_string(a) + "@d98.example") != nullptr) ++wrong;
  }
  EXPECT_EQ(0, wrong);
}

class ListImageStoreTest : public ::testing::Test {
 protected:
  void SetUp() override { log_ = &keelgate_test::captureLog(); }
  void TearDown() override { KELP::Clock::thaw(); }
  void writeList(const std::string& text) { home_.write("config/throttling/blocked_sender", text); }
  KELP::ListImageStore store() const { return KELP::ListImageStore(home_ / "config/throttling", home_ / "bin"); }
  static std::string blocked(const std::shared_ptr<const KELP::ListImage>& image, const char* sender) {
    return valueOf(image->senderMatch(kB, sender));
  }

  keelgate_test::TempDir home_;
  keelgate_test::CaptureSink* log_ = nullptr;
};

TEST_F(ListImageStoreTest, DamagedImageIsRejectedAndRebuilt) {
  writeList("spam@example.com 1800000000\n");
  const uint64_t digest = store().digestNow();
  const std::string path = store().imagePath(digest);
  const struct { const char* label; std::function<void(std::string&)> damage; const char* reason; } cases[] = {
      {"empty file", [](std::string& b) { b.clear(); }, "shorter than its header"},
      {"truncated", [](std::string& b) { b.resize(b.size() - 8); }, "truncated"},
      {"byte of the body flipped", [](std::string& b) { b[b.size() - 3] ^= 0x20; }, "body checksum"},
      {"byte of the header flipped", [](std::string& b) { b[20] ^= 1; }, "header checksum"},
      {"not an image", [](std::string& b) { b[0] = 'X'; }, "not a list image"},
      {"image of other lists", [digest](std::string& b) { b = KELP::ListImageBuilder().build(digest + 1); },
       "built from other list files"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_NE(nullptr, store().load(nullptr));
    std::string bytes;
    ASSERT_TRUE(KELP::readWholeFile(path, bytes));
    c.damage(bytes);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
    log_->clear();
    auto image = store().load(nullptr);
    ASSERT_NE(nullptr, image);
    EXPECT_TRUE(image->shared());
    EXPECT_EQ("1800000000", blocked(image, "spam@example.com"));
    EXPECT_EQ(1u, log_->count(KELP::LOG_NORMAL, "throttling list image [" + path + "] rejected: ")) << log_->all();
    EXPECT_EQ(1u, log_->count(KELP::LOG_NORMAL, c.reason));
    std::string problem;
    EXPECT_NE(nullptr, KELP::ListImage::openFile(path, digest, problem)) << "the file is whole again: " << problem;
  }
}

// File times move in clock ticks: a same-size rewrite within one tick keeps
// every stamp. For recently changed files the content decides.
TEST_F(ListImageStoreTest, SameSizeRewriteWithinOneTickIsSeen) {
  writeList("a@example.com\n");
  struct stat before;
  ASSERT_EQ(0, stat((home_ / "config/throttling/blocked_sender").c_str(), &before));
  KELP::Clock::freezeAt(before.st_mtim.tv_sec);
  auto first = store().load(nullptr);
  ASSERT_TRUE(first->racy());
  writeList("b@example.com\n");
  struct timespec times[2] = {before.st_atim, before.st_mtim};
  ASSERT_EQ(0, utimensat(AT_FDCWD, (home_ / "config/throttling/blocked_sender").c_str(), times, 0));
  auto second = store().load(first);
  EXPECT_EQ("none", blocked(second, "a@example.com"));
  EXPECT_NE("none", blocked(second, "b@example.com"));
  EXPECT_NE("none", blocked(store().load(nullptr), "b@example.com")) << "the shared file was rebuilt";
  EXPECT_NE("none", blocked(first, "a@example.com")) << "the old mapping stays usable";

  // Once the file is older than a tick and still matches, the image is
  // written again unmarked, and later loads keep it without reading.
  KELP::Clock::freezeAt(before.st_mtim.tv_sec + 3600);
  auto settled = store().load(second);
  EXPECT_FALSE(settled->racy());
  EXPECT_NE("none", blocked(settled, "b@example.com"));
  EXPECT_EQ(settled, store().load(settled));
  EXPECT_FALSE(store().load(nullptr)->racy()) << "the shared file itself was settled";
  EXPECT_EQ(2, std::distance(std::filesystem::directory_iterator(home_ / "bin"), {})) << "no other image, no temporary";
}

}  // namespace
