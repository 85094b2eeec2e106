// The host's mailslots (named FIFOs with framed messages) and the
// fatal-error message.

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "test_support.h"

#if defined(_WIN32)
#include <windows.h>
#undef CreateMailslot
// Wine's mailslots carry messages of about 200 KB at most.
bool UnderWine() {
  return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}
#else
bool UnderWine() { return false; }
#endif

namespace {

class MailslotTest : public testing::Test {
 protected:
  void SetUp() override { runDir_ = FreshRunDir(); }
  void TearDown() override { std::filesystem::remove_all(runDir_); }
  std::string runDir_;
};

#if defined(_WIN32)
// Windows has mailslots of its own; a run folder gives them a private
// namespace, the same in every process of the run.
TEST_F(MailslotTest, NameIsSystemMailslotInRunNamespace) {
  std::string name = host::MailslotPath("\\\\.\\mailslot\\c33_usb_rcv_io");
  EXPECT_EQ(name.rfind("\\\\.\\mailslot\\tervan-", 0), 0u) << name;
  EXPECT_EQ(host::MailslotPath("c33_usb_rcv_io"), name);
  EXPECT_EQ(name.substr(name.size() - 15), "\\c33_usb_rcv_io");
}
#else
TEST_F(MailslotTest, NameMapsToFifoInRunFolder) {
  EXPECT_EQ(host::MailslotPath("\\\\.\\mailslot\\c33_usb_rcv_io"),
            runDir_ + "/mailslot/c33_usb_rcv_io");
  EXPECT_EQ(host::MailslotPath("c33_usb_snd_io"), runDir_ + "/mailslot/c33_usb_snd_io");
}
#endif

TEST_F(MailslotTest, ClientOpenNeedsServerHoldingSlot) {
  EXPECT_EQ(host::OpenMailslot("slot"), host::kInvalidMailslot);  // not there at all
  auto server = host::CreateMailslot("slot", host::kMaxMailslotMessage);
  ASSERT_NE(server, host::kInvalidMailslot);
  EXPECT_TRUE(host::MailslotHasServer("slot"));
  auto client = host::OpenMailslot("slot");
  EXPECT_NE(client, host::kInvalidMailslot);
  host::CloseMailslot(client);
  host::CloseMailslot(server);
  // The server removed its slot, and nobody can write into it any more.
#if !defined(_WIN32)
  EXPECT_FALSE(std::filesystem::exists(runDir_ + "/mailslot/slot"));
#endif
  EXPECT_FALSE(host::MailslotHasServer("slot"));
  EXPECT_EQ(host::OpenMailslot("slot"), host::kInvalidMailslot);
}

TEST_F(MailslotTest, SecondServerRefusedWhileFirstHoldsSlot) {
  auto first = host::CreateMailslot("slot", host::kMaxMailslotMessage);
  ASSERT_NE(first, host::kInvalidMailslot);
  EXPECT_EQ(host::CreateMailslot("slot", host::kMaxMailslotMessage), host::kInvalidMailslot);
  host::CloseMailslot(first);
  auto second = host::CreateMailslot("slot", host::kMaxMailslotMessage);
  EXPECT_NE(second, host::kInvalidMailslot);
  host::CloseMailslot(second);
}

TEST_F(MailslotTest, MessageBoundariesHoldForEmptySmallAndPipeSizedMessages) {
  auto server = host::CreateMailslot("slot", host::kMaxMailslotMessage);
  auto client = host::OpenMailslot("slot");
  ASSERT_NE(client, host::kInvalidMailslot);
  Bytes big(200000);  // larger than a pipe holds: the writer waits for the reader
  for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
  const std::vector<Bytes> sent = {{}, {0x42}, big, Hex("01 02 03")};
  std::thread writer([&] {
    for (const auto& m : sent) EXPECT_TRUE(host::WriteMailslot(client, m.data(), uint32_t(m.size())));
  });
  for (const auto& want : sent) {
    Bytes got;
    ASSERT_EQ(host::ReadMailslotMessage(server, got, 5000), host::MailslotRead::kOk);
    EXPECT_EQ(got, want);
  }
  writer.join();
  Bytes none;
  EXPECT_EQ(host::ReadMailslotMessage(server, none, 0), host::MailslotRead::kTimeout);
  host::CloseMailslot(client);
  host::CloseMailslot(server);
}

TEST_F(MailslotTest, MessageLongerThanBufferIsDroppedWholeAndNextOneReads) {
  auto server = host::CreateMailslot("slot", host::kMaxMailslotMessage);
  auto client = host::OpenMailslot("slot");
  Bytes longOne(100, 0xAA), next = Hex("05 02");
  ASSERT_TRUE(host::WriteMailslot(client, longOne.data(), uint32_t(longOne.size())));
  ASSERT_TRUE(host::WriteMailslot(client, next.data(), uint32_t(next.size())));
  uint8_t buffer[67];
  uint32_t got = 99;
  EXPECT_EQ(host::ReadMailslot(server, buffer, sizeof buffer, &got, 1000),
            host::MailslotRead::kTooLong);
  EXPECT_EQ(got, 0u);
  ASSERT_EQ(host::ReadMailslot(server, buffer, sizeof buffer, &got, 1000), host::MailslotRead::kOk);
  EXPECT_EQ(Bytes(buffer, buffer + got), next);
  host::CloseMailslot(client);
  host::CloseMailslot(server);
}

TEST_F(MailslotTest, MessageSizeLimitIsSixteenMebibytes) {
  if (UnderWine()) GTEST_SKIP() << "Wine's mailslots carry about 200 KB at most";
  auto server = host::CreateMailslot("slot", host::kMaxMailslotMessage);
  auto client = host::OpenMailslot("slot");
  Bytes limit(host::kMaxMailslotMessage, 0x5A);
  EXPECT_FALSE(host::WriteMailslot(client, limit.data(), uint32_t(limit.size() + 1)));
  std::thread writer([&] {
    EXPECT_TRUE(host::WriteMailslot(client, limit.data(), uint32_t(limit.size())));
  });
  Bytes got;
  EXPECT_EQ(host::ReadMailslotMessage(server, got, 5000), host::MailslotRead::kOk);
  writer.join();
  EXPECT_EQ(got.size(), limit.size());
  host::CloseMailslot(client);
  host::CloseMailslot(server);
}

TEST_F(MailslotTest, WriteAfterServerLeftFailsInsteadOfEndingProgram) {
  auto server = host::CreateMailslot("slot", host::kMaxMailslotMessage);
  auto client = host::OpenMailslot("slot");
  host::CloseMailslot(server);
  const uint8_t hello = 0;
  EXPECT_FALSE(host::WriteMailslot(client, &hello, 1));
  host::CloseMailslot(client);
}

TEST(FatalErrorTest, RunOfIdenticalFailuresPrintsOnce) {
  host::ClearFatalError();
  testing::internal::CaptureStderr();
  for (int i = 0; i < 50; ++i) host::ShowFatalError("Can't Create USB receiver Simulation IO.");
  host::ShowFatalError("Can't Create USB Sender Simulation IO.");
  host::ShowFatalError("Can't Create USB receiver Simulation IO.");
  host::ClearFatalError();  // a success ends the run
  host::ShowFatalError("Can't Create USB receiver Simulation IO.");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Fatal Error: Can't Create USB receiver Simulation IO.\n"
            "Fatal Error: Can't Create USB Sender Simulation IO.\n"
            "Fatal Error: Can't Create USB receiver Simulation IO.\n"
            "Fatal Error: Can't Create USB receiver Simulation IO.\n");
  host::ClearFatalError();
}

}  // namespace
