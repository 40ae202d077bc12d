#include "net.h"
#include "net_testing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "decoder.h"
#include "intake.h"

#include "testenv.h"

namespace {

std::vector<std::string> fake_decoder(const std::string& input, int32_t port) {
  return {ZAL_FAKE_DECODER,
          "-i",
          input,
          "-vf",
          "scale=2:2,format=nv12",
          "tcp://127.0.0.1:" + std::to_string(port)};
}

TEST(Net, TwoListenersGetDistinctLoopbackPorts) {
  net_start();
  int32_t a = 0, b = 0;
  zal_socket first = listen_local(&a);
  zal_socket second = listen_local(&b);
  ASSERT_NE(first, kNoSocket);
  ASSERT_NE(second, kNoSocket);
  EXPECT_GT(a, 0);
  EXPECT_GT(b, 0);
  EXPECT_NE(a, b);
  sock_close(first);
  sock_close(second);
}

TEST(Net, ClientWaitingInTheBacklogIsAcceptedAtOnce) {
  net_start();  // each case may run in a process of its own
  int32_t port = 0;
  zal_socket listener = listen_local(&port);
  zal_socket client = connect_local(port);
  ASSERT_NE(client, kNoSocket);
  auto start = std::chrono::steady_clock::now();
  zal_socket server = accept_timeout(listener, 30000);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  ASSERT_NE(server, kNoSocket);
  const char hello[] = "hi";
  EXPECT_EQ(sock_send(client, hello, 2), 2);
  char got[2];
  EXPECT_EQ(sock_recv(server, got, 2), 2);
  sock_close(client);
  EXPECT_EQ(sock_recv(server, got, 2), 0);  // peer closed
  sock_close(server);
  sock_close(listener);
}

TEST(Net, AcceptGivesUpAfterItsLimit) {
  net_start();  // each case may run in a process of its own
  int32_t port = 0;
  zal_socket listener = listen_local(&port);
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(accept_timeout(listener, 200), kNoSocket);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  sock_close(listener);
}

// The wait ends with the decoder, yet a connection it made before its end is still taken,
// and its exit code is left for the wait that follows.
TEST(Net, AcceptEndsWithTheDecoderYetTakesWhatItConnected) {
  net_start();  // each case may run in a process of its own
  int32_t port = 0;
  zal_socket listener = listen_local(&port);
  ASSERT_TRUE(decoder_start(fake_decoder("fake:connect=none;exit=4", port)));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(decoder_accept(listener, 30000), kNoSocket);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(wait_child(), 4);
  ASSERT_TRUE(decoder_start(fake_decoder("fake:frames=1;exit=0", port)));
  EXPECT_EQ(wait_child(), 0);  // gone before the wait starts
  decoder_output_end();
  zal_socket server = decoder_accept(listener, 30000);
  ASSERT_NE(server, kNoSocket);
  uint8_t frame[6];  // one 2x2 NV12 frame, then the end
  EXPECT_TRUE(recv_exact(server, frame, sizeof frame));
  EXPECT_EQ(sock_recv(server, frame, 1), 0);
  sock_close(server);
  sock_close(listener);
}

// A stop must wake a receive blocked in another thread even while the peer's end
// stays open, as a killed decoder's may.
TEST(Net, StopWakesABlockedReceiveWhileThePeerStaysOpen) {
  net_start();  // each case may run in a process of its own
  int32_t port = 0;
  zal_socket listener = listen_local(&port);
  zal_socket client = connect_local(port);
  zal_socket server = accept_timeout(listener, 30000);
  ASSERT_NE(server, kNoSocket);
  auto blocked = std::async(std::launch::async, [server] {
    char got[16];
    return sock_recv(server, got, sizeof got);
  });
  EXPECT_EQ(blocked.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  sock_stop(&server);
  bool woke = blocked.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  sock_close(client);  // releases the receive if the stop did not
  EXPECT_TRUE(woke);
  EXPECT_LE(blocked.get(), 0);
  sock_close(server);
  sock_close(listener);
}

// A receive waits for its whole length, so a frame costs one wake-up; a stop still
// wakes it while it holds part of that length.
TEST(Net, AReceiveWaitsForItsWholeLengthUntilAStop) {
  if (testenv::under_wine()) GTEST_SKIP() << "wine 8 ignores MSG_WAITALL; the pumps then loop";
  net_start();  // each case may run in a process of its own
  int32_t port = 0;
  zal_socket listener = listen_local(&port);
  zal_socket client = connect_local(port);
  zal_socket server = accept_timeout(listener, 30000);
  ASSERT_NE(server, kNoSocket);
  char got[16];
  auto whole = std::async(std::launch::async, [server, &got] { return sock_recv(server, got, 8); });
  EXPECT_EQ(sock_send(client, "abc", 3), 3);
  EXPECT_EQ(whole.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  EXPECT_EQ(sock_send(client, "defgh", 5), 5);
  EXPECT_EQ(whole.get(), 8);
  // Part of the length already there when the receive begins: the rest still wakes it.
  EXPECT_EQ(sock_send(client, "abc", 3), 3);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  auto rest = std::async(std::launch::async, [server, &got] { return sock_recv(server, got, 8); });
  EXPECT_EQ(rest.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  EXPECT_EQ(sock_send(client, "defgh", 5), 5);
  bool rest_woke = rest.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  if (!rest_woke) sock_stop(&server);  // releases it
  ASSERT_TRUE(rest_woke);
  EXPECT_EQ(rest.get(), 8);
  auto part = std::async(std::launch::async, [server, &got] { return sock_recv(server, got, 16); });
  EXPECT_EQ(sock_send(client, "abc", 3), 3);
  EXPECT_EQ(part.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  sock_stop(&server);
  bool woke = part.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  sock_close(client);  // releases the receive if the stop did not
  EXPECT_TRUE(woke);
  EXPECT_LT(part.get(), 16);
  sock_close(server);
  sock_close(listener);
}

}  // namespace
